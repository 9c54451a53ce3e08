// The process-wide memory of what the last extraction into each folder created, shared by the archive
// controls of every system. A check object usually works in one folder; the memory keeps the most
// recent folders, at most kMaxFolders of them and kMaxBytes of names in all, so a host that makes
// many folders does not grow it for ever. A folder dropped from it keeps what its last extraction
// wrote.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <utility>
#include <vector>

namespace vardenix {

// Key: a folder's identity (equality-comparable). Entry: one thing created, with a `path` string.
template <typename Key, typename Entry>
class ExtractionLedger {
 public:
  static ExtractionLedger& Instance() {
    static ExtractionLedger ledger;
    return ledger;
  }

  // What the last extraction into the folder created, forgotten here (empty when nothing is known).
  std::vector<Entry> Take(const Key& key) {
    std::lock_guard lock(mutex_);
    for (auto it = records_.begin(); it != records_.end(); ++it) {
      if (it->key == key) {
        std::vector<Entry> created = std::move(it->created);
        bytes_ -= it->bytes;
        records_.erase(it);
        return created;
      }
    }
    return {};
  }

  // Remembers what an extraction into the folder created, in place of what was known of it.
  void Keep(const Key& key, std::vector<Entry> created) {
    size_t bytes = 0;
    for (const Entry& c : created) bytes += c.path.size() * sizeof(c.path[0]) + sizeof(Entry);
    std::lock_guard lock(mutex_);
    for (auto it = records_.begin(); it != records_.end(); ++it) {
      if (it->key == key) {
        bytes_ -= it->bytes;
        records_.erase(it);
        break;
      }
    }
    if (created.empty()) return;
    records_.push_front(Record{key, std::move(created), bytes});
    bytes_ += bytes;
    while (records_.size() > 1 && (records_.size() > kMaxFolders || bytes_ > kMaxBytes)) {
      bytes_ -= records_.back().bytes;
      records_.pop_back();
    }
  }

 private:
  static constexpr size_t kMaxFolders = 256;
  static constexpr size_t kMaxBytes = size_t{64} << 20;
  struct Record {
    Key key;
    std::vector<Entry> created;
    size_t bytes;
  };
  std::mutex mutex_;
  std::list<Record> records_;  // most recently used first
  size_t bytes_ = 0;
};

}  // namespace vardenix
