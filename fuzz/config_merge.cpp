// Fuzzes the configuration merge on arbitrary package and installed files
// (read with ReadFile2, versions taken with GetVersion). Whatever the files
// hold: the result and code match a plain model of the versions; when nothing
// is merged the installed file is untouched; when merged, the installed path
// holds exactly the model's merge (one line per package line, each the
// package's or the installed file's), the backup holds the old file byte for
// byte, and no temporary file is left behind.
#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/file.h"
#include "fuzz_support.h"
#include "line_model.h"
#include "manifest/auxinfo.h"
#include "update/update.h"

namespace {

std::string Dir(const char* name) {
    return upd::fuzz::ScratchDir() + "/" + name;
}

struct Line {
    std::string first, rest;
};

std::vector<Line> ModelRead(std::string_view text) {
    std::vector<Line> lines;
    size_t pos = 0;
    for (;;) {
        upd::fuzz::ModelLine l = upd::fuzz::ModelNextLine(text, &pos, 512, 0);
        if (l.result < 0) {
            return lines;
        }
        std::string s = l.text.substr(0, l.text.find('\0'));
        size_t word = s.find_first_not_of(" \t(");
        size_t cut = word == std::string::npos ? s.size() : s.find_first_of(" \t(", word);
        if (cut == std::string::npos) {
            cut = s.size();
        }
        lines.push_back({s.substr(0, cut), s.substr(cut)});
    }
}

bool ModelVersion(const std::vector<Line>& lines, double* v) {
    if (lines.empty()) {
        return false;
    }
    const std::string& key = lines[0].first;
    size_t at = key.find_first_not_of(" \t");
    if (at == std::string::npos || (key[at] != 'V' && key[at] != 'v')) {
        return false;
    }
    *v = atof(key.c_str() + at + 1);
    return *v != 0.0;
}

std::string Keyword(const std::string& first) {
    size_t at = first.find_first_not_of(" \t");
    return at == std::string::npos ? std::string() : first.substr(at);
}

std::string ModelMerge(const std::vector<Line>& pkg, const std::vector<Line>& inst) {
    std::string out = pkg[0].first + "\n";
    size_t cursor = 1;
    for (size_t i = 1; i < pkg.size(); ++i) {
        if (cursor < inst.size() && Keyword(inst[cursor].first) == Keyword(pkg[i].first)) {
            out += inst[cursor].first + inst[cursor].rest + "\n";
            ++cursor;
        } else {
            out += pkg[i].first + pkg[i].rest + "\n";
        }
    }
    return out;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    FUZZ_CHECK(d != nullptr);
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* d : {"src", "dst", "bak"}) {
        FUZZ_CHECK(mkdir(Dir(d).c_str(), 0755) == 0);
    }
    const std::string manifest =
        "Cfg\nSrcDir = " + Dir("src") + "\nSrcFile = pkg.cfg\nDestDir = " + Dir("dst") +
        "\nDestFile = inst.cfg\nBackupDir = " + Dir("bak") + "\nBackupFile = inst.cfg.bak\n";
    std::string keep;
    FILE* f = upd::fuzz::OpenBytes(manifest, &keep);
    FUZZ_CHECK(upd::ReadAuxInfoStream(f) == 1);
    fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const size_t split = input.Byte() | input.Byte() << 8;
    const std::string_view all = input.Rest();
    const std::string_view pkgText = all.substr(0, std::min(split, all.size()));
    const std::string_view instText = all.substr(pkgText.size());

    const std::string pkgPath = Dir("src") + "/pkg.cfg";
    const std::string instPath = Dir("dst") + "/inst.cfg";
    const std::string bakPath = Dir("bak") + "/inst.cfg.bak";
    upd::fuzz::WriteWhole(pkgPath, pkgText);
    upd::fuzz::WriteWhole(instPath, instText);
    unlink(bakPath.c_str());

    const std::vector<Line> pkg = ModelRead(pkgText);
    const std::vector<Line> inst = ModelRead(instText);
    double pv = 0, iv = 0;
    int wantCode = 0;
    bool merge = false;
    if (!ModelVersion(pkg, &pv)) {
        wantCode = upd::kErrConfigSrcVersion;
    } else if (!ModelVersion(inst, &iv)) {
        wantCode = upd::kErrConfigDestVersion;
    } else {
        merge = !(pv <= iv);
    }

    upd::UpdateInfo info{};
    info.errorCode = -1;
    const int r = upd::ConfigUpdate("Cfg", &info);
    FUZZ_CHECK(r == (wantCode == 0 ? 1 : 0));
    FUZZ_CHECK(info.errorCode == wantCode);

    std::string installedNow, backupNow;
    FUZZ_CHECK(upd::fuzz::ReadWhole(instPath, &installedNow));
    if (merge) {
        FUZZ_CHECK(installedNow == ModelMerge(pkg, inst));
        FUZZ_CHECK(upd::fuzz::ReadWhole(bakPath, &backupNow) && backupNow == instText);
    } else {
        FUZZ_CHECK(installedNow == instText);
        FUZZ_CHECK(access(bakPath.c_str(), F_OK) != 0);
    }
    // Only the installed file is left in its directory: no temporary file.
    const std::vector<std::string> left = Entries(Dir("dst"));
    FUZZ_CHECK(left.size() == 1 && left[0] == "inst.cfg");
    return 0;
}
