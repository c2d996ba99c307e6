#pragma once
// The jbd2 journal in the file system's journal inode: every transaction still in the
// circular log (also those before the current head), and for each file-system block
// the copies the log holds of it, newest first. An external journal device is not read.

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "devices/crc32c.hpp"
#include "ext4/ext4_volume.hpp"

namespace qv::ext4 {

// One copy of a file-system block in the log.
struct journal_copy {
    uint32_t sequence = 0;       // transaction it belongs to
    uint32_t journal_block = 0;  // block number inside the journal
    bool escaped = false;        // its first four bytes were the journal magic, stored as zeros
    uint32_t checksum = 0;       // the tag's checksum of the block (journal checksum v2/v3)
};

struct journal_stats {
    uint32_t first = 0, maxlen = 0, start = 0, sequence = 0;  // from the journal superblock
    uint32_t version = 0;                                      // 1 or 2
    uint32_t incompat = 0;
    uint64_t descriptor_blocks = 0;
    uint64_t commit_blocks = 0;
    uint64_t revoke_blocks = 0;
    uint64_t tags = 0;              // tags in descriptor blocks
    uint64_t copies = 0;            // copies kept: committed and still in the log
    uint64_t overwritten_tags = 0;  // tags whose block a later transaction reused
    uint64_t bad_tags = 0;          // tags naming blocks past the volume
    uint64_t bad_copy_checksums = 0;  // copies refused when read because the tag's checksum failed
    uint64_t unreadable_blocks = 0;
    uint32_t oldest_sequence = 0, newest_sequence = 0;  // of the committed transactions found
};

enum journal_error : int {
    journal_none = -1,        // the volume has no internal journal
    journal_external = -2,    // the journal lives on another device (not read)
    journal_unreadable = -3,  // the journal inode or its superblock cannot be read
    journal_bad = -4,         // the journal superblock does not hold
};

class journal {
public:
    // Opens the journal of vol (which must outlive it). 0 or a journal_error.
    static int open(volume& vol, std::unique_ptr<journal>* out);

    // Reads every block of the log and collects the copies. keep_going is asked now
    // and then with the fraction done; false stops the walk (false returned).
    bool walk(const std::function<bool(double)>& keep_going = nullptr);

    const journal_stats& stats() const { return stats_; }
    // Copies of file-system block b, newest first; empty when the log holds none.
    const std::vector<journal_copy>& copies_of(uint64_t b) const;
    const std::unordered_map<uint64_t, std::vector<journal_copy>>& all_copies() const { return copies_; }
    // Revoke records: the newest transaction that revoked each block.
    const std::unordered_map<uint64_t, uint32_t>& revoked() const { return revoked_; }
    // Reads a copy's bytes (the escaped magic put back). With journal checksums a copy
    // whose block does not match its tag (a later write reused it) is refused and counted.
    bool read_copy(const journal_copy& c, std::vector<uint8_t>& out);
    // Reads many copies (any order) with one device read per run of neighbouring log
    // blocks, and hands them, in log order, to use(i, bytes) (i: the index in copies);
    // where wanted(i, bytes) says no before the tag's checksum is computed, the copy is
    // passed over unchecked. A run that cannot be read is read copy by copy. False when
    // use said stop.
    // Whether copy c holds the same bytes as a block whose crc32c(0, block) is plain_crc:
    // the tag's full checksum (journal checksum v3) says so without reading the copy.
    // False where that cannot be told (older checksums, an escaped copy).
    bool copy_matches(const journal_copy& c, uint32_t plain_crc) const;
    using copy_test = std::function<bool(size_t index, const uint8_t* bytes)>;
    bool read_copies(const std::vector<const journal_copy*>& copies, const copy_test& wanted, const copy_test& use);
    // The file-system block holding journal block j; 0 when unmapped.
    uint64_t physical(uint64_t j) const;

private:
    explicit journal(volume& vol) : vol_(vol), block_shift_(vol.super().block_size) {}
    // The tag's checksum of a copy's bytes (counted when it fails); puts back an escaped magic.
    bool accept(const journal_copy& c, uint8_t* data, size_t len);
    volume& vol_;
    std::vector<block_run> runs_;
    journal_stats stats_;
    uint32_t csum_seed_ = 0;
    crc32c_shift_table block_shift_;  // a register over one block's bytes
    bool tag_checksums_ = false, full_checksums_ = false;
    std::unordered_map<uint64_t, std::vector<journal_copy>> copies_;
    std::unordered_map<uint64_t, uint32_t> revoked_;
};

}  // namespace qv::ext4
