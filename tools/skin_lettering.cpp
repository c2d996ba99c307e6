#include "tools/skin_lettering.hpp"

namespace qv::skin {

const std::vector<skin_lettering>& skin_letterings() {
    static const std::vector<skin_lettering> all = {
        {"en", "Recover files", "Partitions", "Deep scan", "Start scan", "Resume recovery"},
        {"de", "Dateien retten", "Partitionen", "Tiefenscan", "Scan starten",
         "Wiederherstellung fortsetzen"},
        {"fr", "Récupérer", "Partitions", "Analyse approfondie", "Lancer l’analyse",
         "Reprendre la récupération"},
        {"es", "Recuperar archivos", "Particiones", "Análisis profundo", "Iniciar análisis",
         "Reanudar recuperación"},
        {"it", "Recupera file", "Partizioni", "Scansione approfondita", "Avvia scansione",
         "Riprendi recupero"},
        {"jp", "ファイル復元", "パーティション", "ディープスキャン", "スキャン開始", "復元の再開"},
        {"cn", "恢复文件", "分区", "深度扫描", "开始扫描", "继续恢复"},
        {"hk", "復原檔案", "磁碟分割", "深度掃描", "開始掃描", "繼續復原"},
    };
    return all;
}

}  // namespace qv::skin
