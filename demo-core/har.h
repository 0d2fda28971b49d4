// Import of HTTP Archive 1.2 files, the export format of browsers and
// proxies, and the capture that serves one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "store.h"

namespace demo {

// A page of the archive's "pages" list. Archives give a page no address, so
// its url and user agent are those of the first request made for it.
struct HarPage {
  std::string id, title, url, user_agent;
};

struct Har {
  std::vector<Flow> flows;  // in order of their start time
  std::vector<HarPage> pages;
};

// The archive's entries as flows (ids and seqs not yet assigned) and its
// pages. Entries with missing parts give flows with what they have;
// `fallback_ts` is used when an entry has no readable start time; pages
// without an id are left out. Fails, with one line saying why, when `text`
// is not an archive.
Result<Har, std::string> read_har(std::string_view text, std::uint64_t fallback_ts);

// A capture that describes the archive alone: its flows, its pages (as the
// pages of one device named `name`, without console output), a capture
// status and a findings report derived from them.
Capture har_capture(Har har, std::uint64_t now_ms, const std::string& name);

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
