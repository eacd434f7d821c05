// The progress line: carriage return, the text, and an erase to the line's end.
#include "pack/progress.h"

namespace upd::pack {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);

std::string MiB(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

}  // namespace

void Progress::Start(const std::string& what, std::uint64_t total) {
    Clear();
    if (out_ == nullptr || total < kShowFrom) {
        return;
    }
    what_ = what;
    total_ = total;
    done_ = 0;
    measured_ = true;
    Show();
}

void Progress::Advance(std::uint64_t bytes) {
    if (!measured_) {
        return;
    }
    done_ += bytes;
    if (std::chrono::steady_clock::now() - last_ >= kInterval) {
        Show();
    }
}

void Progress::Phase(const std::string& what) {
    Clear();
    if (out_ == nullptr) {
        return;
    }
    what_ = what;
    Show();
}

void Progress::Clear() {
    if (shown_) {
        *out_ << "\r\033[K" << std::flush;
    }
    shown_ = false;
    measured_ = false;
}

void Progress::Show() {
    *out_ << "\rupdate-pack: " << what_;
    if (measured_) {
        *out_ << ": " << MiB(done_) << " of " << MiB(total_) << " ("
              << (total_ == 0 ? 100 : done_ * 100 / total_) << "%)";
    }
    *out_ << "\033[K" << std::flush;
    shown_ = true;
    last_ = std::chrono::steady_clock::now();
}

}  // namespace upd::pack
