// Walks two folders side by side, names in byte order, and compares files in
// blocks.
#include "pack/read_back.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace upd::pack {
namespace {

constexpr std::size_t kBlock = 1 << 20;

enum class Kind { kMissing, kFile, kFolder, kOther };

Kind KindOf(const std::string& path, std::uint64_t* size) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return Kind::kMissing;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return S_ISREG(st.st_mode) ? Kind::kFile : S_ISDIR(st.st_mode) ? Kind::kFolder : Kind::kOther;
}

std::optional<std::vector<std::string>> Names(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool SameBytes(const std::string& a, const std::string& b, std::uint64_t size, Progress* progress,
               const std::string& what) {
    std::ifstream in[2] = {std::ifstream(a, std::ios::binary), std::ifstream(b, std::ios::binary)};
    std::vector<char> block[2] = {std::vector<char>(kBlock), std::vector<char>(kBlock)};
    progress->Start("reading " + what + " back", size);
    bool same = in[0] && in[1];
    while (same) {
        in[0].read(block[0].data(), kBlock);
        in[1].read(block[1].data(), kBlock);
        const std::streamsize n = in[0].gcount();
        same = n == in[1].gcount() && !in[0].bad() && !in[1].bad() &&
               std::equal(block[0].begin(), block[0].begin() + n, block[1].begin());
        progress->Advance(static_cast<std::uint64_t>(n));
        if (n == 0) {
            break;
        }
    }
    progress->Clear();
    return same;
}

class Comparer {
  public:
    Comparer(std::string expected, std::string actual, Progress* progress)
        : expected_(std::move(expected)), actual_(std::move(actual)), progress_(progress) {}

    std::vector<std::string> differences;

    void Folder(const std::string& relative) {
        const std::string inner = relative.empty() ? "" : "/" + relative;
        const auto want = Names(expected_ + inner);
        const auto have = Names(actual_ + inner);
        if (!want || !have) {
            differences.push_back(Name(relative) + ": cannot be read");
            return;
        }
        std::vector<std::string> all = *want;
        all.insert(all.end(), have->begin(), have->end());
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        for (const std::string& name : all) {
            Entry(relative.empty() ? name : relative + "/" + name);
        }
    }

  private:
    static std::string Name(const std::string& relative) {
        return relative.empty() ? "the stick's root" : relative;
    }

    void Entry(const std::string& relative) {
        std::uint64_t wantSize = 0;
        std::uint64_t haveSize = 0;
        const Kind want = KindOf(expected_ + "/" + relative, &wantSize);
        const Kind have = KindOf(actual_ + "/" + relative, &haveSize);
        if (have == Kind::kMissing) {
            differences.push_back(relative + ": missing from the image");
        } else if (want == Kind::kMissing) {
            differences.push_back(relative + ": in the image, but not on the stick");
        } else if (want != have) {
            differences.push_back(relative + ": of another kind in the image");
        } else if (want == Kind::kFolder) {
            Folder(relative);
        } else if (wantSize != haveSize) {
            differences.push_back(relative + ": " + std::to_string(haveSize) +
                                  " bytes in the image, " + std::to_string(wantSize) +
                                  " on the stick");
        } else if (!SameBytes(expected_ + "/" + relative, actual_ + "/" + relative, wantSize,
                              progress_, relative)) {
            differences.push_back(relative + ": other bytes in the image");
        }
    }

    std::string expected_, actual_;
    Progress* progress_;
};

}  // namespace

std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      Progress* progress) {
    Comparer comparer(expected, actual, progress);
    comparer.Folder("");
    return std::move(comparer.differences);
}

}  // namespace upd::pack
