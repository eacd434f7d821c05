// Loads a manifest held in memory into the store, as the signature check does.
#pragma once

#include <cstdio>
#include <string>

#include "manifest/auxinfo.h"

namespace upd::testing {

inline int LoadManifestText(const std::string& text) {
    std::string bytes = text;
    FILE* f = fmemopen(bytes.data(), bytes.size(), "r");
    const int r = ReadAuxInfoStream(f);
    std::fclose(f);
    return r;
}

}  // namespace upd::testing
