// Progress of update-pack's long steps for a maker at a terminal: one line,
// rewritten in place a few times a second and cleared when the step ends, so
// that the log keeps only what was done.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace upd::pack {

class Progress {
  public:
    // Files smaller than this are done before anyone looks.
    static constexpr std::uint64_t kShowFrom = 32ull << 20;

    // Writes to `out`; null: shows nothing.
    explicit Progress(std::ostream* out) : out_(out) {}
    ~Progress() { Clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // A step over `total` bytes: shown when that is at least kShowFrom.
    void Start(const std::string& what, std::uint64_t total);
    // `bytes` more of the step are done.
    void Advance(std::uint64_t bytes);
    // A step without a measure ("writing the image"), shown until the next.
    void Phase(const std::string& what);
    // Clears the line.
    void Clear();

  private:
    void Show();

    std::ostream* out_;
    std::string what_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    bool shown_ = false;
    bool measured_ = false;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace upd::pack
