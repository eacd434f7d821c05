// The manifest store: the sections of name=value pairs of AuxInfo.txt, loaded
// once per run into a process-wide list and read through copies in the
// caller's fixed buffers.
#pragma once

#include <cstdio>

namespace upd {

// One name=value pair of a section.
struct AuxPair {
    char* name;   // owned heap copy
    char* value;  // owned heap copy, "" for an empty value
    AuxPair* next;
};

// One section of the manifest.
struct AuxSection {
    char* name;      // owned heap copy of the whole section line
    AuxPair* pairs;  // first pair in file order, null when none
    AuxSection* next;
};

// A manifest line holds at most 255 characters (the line reader's buffer);
// names and values fit the same size.
constexpr int kManifestLineSize = 256;

// Head of the store, sections in file order; null when the store is empty.
extern AuxSection* aux_Section;

// Loads the manifest file at `path` into the store. 1 on success (the store
// then holds exactly that file's sections); 0 on any failure, the store left
// as it was.
int ReadAuxInfo(const char* path);

// The same loader reading an already open stream (a file, or bytes in memory
// through fmemopen); the stream is left open for the caller to close.
int ReadAuxInfoStream(FILE* stream);

// Copies the value of `key` in the first section named `section` into `dst`.
// Result 0 only when the pair exists but its value does not fit `dstsize`
// bytes with its NUL (dst untouched). A missing section or key gives 1 with
// *found false.
int GetAuxInfo(const char* section, const char* key, char* dst, int dstsize, bool* found);

// Copies the name of the section at position `index` (0 for the first) into
// `dst`. 0 for a negative index or a name that does not fit; 1 with *found
// false past the last section.
int GetSection(int index, char* dst, int dstsize, bool* found);

// Diagnostic hook: walks the store without output or change.
void ShowAuxInfo();

// Releases the whole store and leaves it empty; harmless on an empty store.
void FreeAuxInfo();

// Splits `line` at its first '=' into a name and a value, each stripped of
// outer spaces and tabs. 1 when both fit their buffers; 0 otherwise, the part
// that did not fit cut to its buffer and the value left empty if the name did
// not fit.
int nvline(const char* line, char* name, int namesize, char* value, int valuesize);

}  // namespace upd
