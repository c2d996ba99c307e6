// quorvane-cli: the recovery engines without a display.
#include <QCoreApplication>

#include <cstdio>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "cli/filter_options.hpp"
#include "cli/password_agent.hpp"
#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "partition/partition_item.hpp"
#include "sigscan/sc_api.hpp"

int main(int argc, char** argv) {
    using namespace qv::cli;
    QCoreApplication::setApplicationName("Quorvane");
    QCoreApplication app(argc, argv);
    qv::register_device_meta_types();
    qv::partition::register_partition_meta_types();
    qv::device_catalog::shared().apply_environment();
    // Devices the user may not read are asked for through udisks2 or pkexec;
    // in a terminal without a desktop agent, polkit asks here.
    terminal_password_agent password_agent;
    qv::device_catalog::shared().set_open_notice([&](qv::open_notice what, const std::string& path) {
        if (what == qv::open_notice::in_use) {
            std::fprintf(stderr, "quorvane-cli: %s is in use (mounted?); reading it while it is in use\n",
                         path.c_str());
            return;
        }
        password_agent.start();
        std::fprintf(stderr, "quorvane-cli: asking for permission to %s %s\n",
                     what == qv::open_notice::asking_write ? "write" : "read", path.c_str());
    });
    sc_load_config("Quorvane.conf");  // the built-in file types apply when none can be read

    CLI::App cli{"Quorvane: find and recover deleted files on FAT, exFAT, NTFS and ext2/3/4 volumes, disks and images."};
    cli.require_subcommand(1);

    bool json = false;
    std::vector<std::string> images;
    auto* list = cli.add_subcommand("list", "List drives and volumes (image files named here are opened as drives)");
    list->add_flag("--json", json, "One JSON object per line");
    list->add_option("IMAGE", images, "Disk image files to open as drives");

    scan_options scan;
    auto* scan_cmd = cli.add_subcommand("scan", "Scan a volume and list what was found");
    scan_cmd->add_option("VOLUME", scan.volume, "Volume path: /dev/sdb1, card.img, card.img#1")->required();
    scan_cmd->add_flag("--json", scan.json, "One JSON object per line");
    auto* deep_flag = scan_cmd->add_flag("--deep", scan.deep, "Carve files by their content");
    scan_cmd->add_flag("--every-byte", scan.every_byte, "Deep scan: test every byte offset, not only sector starts")
        ->needs(deep_flag);
    scan_cmd->add_flag("--free-space", scan.free_space,
                       "Deep scan: read only the space the file system does not use, and leave out the files it lists")
        ->needs(deep_flag);
    scan_cmd->add_option("--save", scan.save, "Deep scan: save the result to this .sav file")->needs(deep_flag);
    scan_cmd->add_flag("--resume", scan.resume, "Deep scan: go on from where an interrupted scan stopped")
        ->needs(deep_flag);
    scan_cmd->add_option("--checkpoint-every", scan.checkpoint_every,
                         "Deep scan: seconds between checkpoints an interrupted scan goes on from (default 30)")
        ->needs(deep_flag)
        ->check(CLI::Range(0.0, 86400.0));
    scan_cmd->add_flag("--name-from-content", scan.name_from_content,
                       "Deep scan: name found files after what they carry (capture time and camera, artist and "
                       "title, document title)")
        ->needs(deep_flag);
    filter_arguments scan_filter;
    add_filter_options(*scan_cmd, scan_filter);

    scan_options rec;
    auto* rec_cmd = cli.add_subcommand("recover", "Scan a volume and recover its deleted files");
    rec_cmd->add_option("VOLUME", rec.volume, "Volume path: /dev/sdb1, card.img, card.img#1")->required();
    rec_cmd->add_option("--to", rec.to, "Folder for the recovered files (on another disk)")->required();
    auto* rec_deep = rec_cmd->add_flag("--deep", rec.deep, "Carve files by their content");
    rec_cmd->add_flag("--every-byte", rec.every_byte, "Deep scan: test every byte offset")->needs(rec_deep);
    rec_cmd->add_flag("--free-space", rec.free_space,
                      "Deep scan: read only the space the file system does not use, and leave out the files it lists")
        ->needs(rec_deep);
    rec_cmd->add_flag("--name-from-content", rec.name_from_content,
                      "Deep scan: name found files after what they carry (capture time and camera, artist and "
                      "title, document title)")
        ->needs(rec_deep);
    rec_cmd->add_flag("--keep-tree", rec.keep_tree, "Recreate the folders the files were in");
    rec_cmd->add_option("--id", rec.ids, "Recover only the item with this id (repeatable)");
    filter_arguments rec_filter;
    add_filter_options(*rec_cmd, rec_filter);
    rec_cmd->add_flag("--skip-overwritten", rec.skip_overwritten, "Leave out files whose space holds other data now");
    rec_cmd->add_flag("--skip-damaged", rec.skip_damaged, "Leave out files that cannot be read whole");
    rec_cmd->add_flag("--json", rec.json, "One JSON object per recovered file (its state: damaged with the bytes unreadable)");

    partition_options part;
    bool yes = false;
    auto* part_cmd = cli.add_subcommand("partitions", "Read a drive's partition table and search it for lost partitions");
    part_cmd->add_option("DRIVE", part.drive, "Drive path: /dev/sdb or disk.img")->required();
    part_cmd->add_flag("--json", part.json, "One JSON object per found partition");
    auto* yes_flag = part_cmd->add_flag("--yes", yes, "Confirm --write-mbr or --write-gpt");
    part_cmd->add_flag("--write-mbr", part.write_mbr,
                       "Write the found partitions as the drive's partition table (saves the old first sector first)")
        ->needs(yes_flag);
    part_cmd->add_flag("--write-gpt", part.write_gpt,
                       "Repair the GPT from its good copy, or build a new one from the found partitions "
                       "(saves the sectors it replaces first)")
        ->needs(yes_flag)
        ->excludes("--write-mbr");
    part_cmd->add_option("--restore,--restore-mbr", part.restore, "Put saved sectors back on the drive")
        ->excludes("--write-mbr")
        ->excludes("--write-gpt");
    part_cmd->add_flag("--every-sector", part.every_sector,
                       "Examine every sector between partitions, not only the places partitions are made to "
                       "start at (slow on large drives)");
    part_cmd->add_flag("--force", part.force,
                       "Write an MBR over a valid GPT or a GPT over a valid MBR; restore even onto another drive or over sectors changed "
                       "since the repair");

    std::string resume_file, resume_to;
    auto* resume = cli.add_subcommand("resume", "Recover the files of a saved deep-scan result");
    resume->add_option("FILE", resume_file, "A .sav file written by scan --deep --save")->required();
    resume->add_option("--to", resume_to, "Folder for the recovered files (on another disk)")->required();
    bool resume_names = false;
    resume->add_flag("--name-from-content", resume_names, "Name found files after what they carry");

    image_options img;
    auto* image_cmd = cli.add_subcommand("image", "Copy a failing drive or volume into an image file (resumable)");
    image_cmd->add_option("SOURCE", img.source, "Drive or volume path: /dev/sdb, /dev/sdb1, card.img")->required();
    image_cmd->add_option("--to", img.to, "The image file to write")->required();
    image_cmd->add_option("--map", img.map, "GNU ddrescue mapfile that keeps the state (default: the image's name + .map)");
    image_cmd->add_option("--retries", img.retries, "Passes over unreadable sectors at the end")
        ->check(CLI::Range(0, 100));
    image_cmd->add_option("--save-every", img.save_every, "Seconds between saves of the map file")
        ->check(CLI::Range(0.0, 3600.0));

    auto* demo = cli.add_subcommand("demo", "Make a small FAT image with deleted files and recover them");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = cli.exit(e);
        return rc == 0 ? 0 : 2;
    }

    for (auto [command, arguments, options] : {std::tuple{scan_cmd, &scan_filter, &scan},
                                                std::tuple{rec_cmd, &rec_filter, &rec}}) {
        if (!command->parsed()) continue;
        std::string error;
        auto filter = make_item_filter(*arguments, &error);
        if (!filter) return fail_usage(error);
        options->filter = *filter;
    }

    int rc = 2;
    if (list->parsed())
        rc = cmd_list(json, images);
    else if (scan_cmd->parsed())
        rc = cmd_scan(scan);
    else if (rec_cmd->parsed())
        rc = cmd_recover(rec);
    else if (part_cmd->parsed())
        rc = cmd_partitions(part);
    else if (resume->parsed())
        rc = cmd_resume(resume_file, resume_to, resume_names);
    else if (image_cmd->parsed())
        rc = cmd_image(img);
    else if (demo->parsed())
        rc = cmd_demo();
    qv::device_catalog::shared().set_open_notice({});
    return rc;
}
