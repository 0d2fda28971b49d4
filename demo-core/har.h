// Import of HTTP Archive 1.2 files, the export format of browsers and
// proxies, as flows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "store.h"

namespace demo {

// The archive's entries as flows in order of their start time (ids and seqs
// not yet assigned). Entries with missing parts give flows with what they
// have; an entry `fallback_ts` is used when an entry has no readable start
// time. Fails, with one line saying why, when `text` is not an archive.
Result<std::vector<Flow>, std::string> flows_from_har(std::string_view text,
                                                      std::uint64_t fallback_ts);

// The content of a file: mapped into memory (read into it where it cannot
// be mapped, as from a pipe) for as long as this lives.
class FileText {
 public:
  FileText(FileText&& other) noexcept;
  FileText& operator=(FileText&&) = delete;
  ~FileText();

  std::string_view text() const;

 private:
  friend std::optional<FileText> read_file(const std::string& path);
  FileText() = default;

  void* map_ = nullptr;
  std::size_t map_size_ = 0;
  std::string copy_;
};

// The file at `path`, or nothing when it cannot be read.
std::optional<FileText> read_file(const std::string& path);

}  // namespace demo
