// Whole text files read into lists of lines, kept whole or cut after their
// first word so that the key can be compared and the line written back as it was.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/file.h"
#include "manifest/line.h"
#include "manifest/nv.h"

namespace upd {

namespace {

constexpr int kLineSize = kLineListLineSize;

// The key part of a line ends at the first space, tab or '(' after its first word.
constexpr char kKeyDelimiters[] = " \t(";

void FreeLines(LineList* node) {
    while (node != nullptr) {
        LineList* next = node->next;
        std::free(node->text);
        std::free(node);
        node = next;
    }
}

void FreeLines(LineList2* node) {
    while (node != nullptr) {
        LineList2* next = node->next;
        std::free(node->first);
        std::free(node->rest);
        std::free(node);
        node = next;
    }
}

// A node holding one line, or null when memory runs out.
LineList* MakeNode(const char* line, LineList*) {
    auto* node = static_cast<LineList*>(std::calloc(1, sizeof(LineList)));
    if (node == nullptr) {
        return nullptr;
    }
    node->text = strdup(line);
    if (node->text == nullptr) {
        std::free(node);
        return nullptr;
    }
    return node;
}

LineList2* MakeNode(const char* line, LineList2*) {
    auto* node = static_cast<LineList2*>(std::calloc(1, sizeof(LineList2)));
    if (node == nullptr) {
        return nullptr;
    }
    if (!SplitString(line, kKeyDelimiters, &node->first, &node->rest)) {
        std::free(node);
        return nullptr;
    }
    return node;
}

// Reads every line of `stream` into a new list of Node at *head; false when
// a read fails or memory runs out (what was read so far is then still in
// *head for the caller to release).
template <typename Node>
bool ReadLines(FILE* stream, Node** head) {
    Node* tail = nullptr;
    char line[kLineSize];
    for (;;) {
        int skipped = 0;
        const int got = nextline(stream, line, kLineSize, 0, &skipped);
        if (got < 0) {
            // A read error is not the end of the file: the lines after it would
            // be lost without a word (a stick pulled while it is read).
            return got != -3;
        }
        Node* node = MakeNode(line, static_cast<Node*>(nullptr));
        if (node == nullptr) {
            return false;
        }
        (*head == nullptr ? *head : tail->next) = node;
        tail = node;
    }
}

// Reads every line of `path` into a list of Node; the list is handed to *list
// only when the whole read succeeded, and released otherwise.
template <typename Node>
int ReadFileLines(const char* path, Node** list) {
    if (path == nullptr || list == nullptr) {
        return 0;
    }
    FILE* stream = OpenRegularStream(path);
    if (stream == nullptr) {
        return 0;
    }
    Node* head = nullptr;
    const bool ok = ReadLines(stream, &head);
    if (std::fclose(stream) != 0 || !ok) {
        FreeLines(head);
        return 0;
    }
    *list = head;
    return 1;
}

}  // namespace

int ReadFile(const char* path, LineList** list) {
    return ReadFileLines(path, list);
}

int ReadFile2(const char* path, LineList2** list) {
    return ReadFileLines(path, list);
}

int ReadMemory2(const unsigned char* data, std::size_t length, LineList2** list) {
    if (list == nullptr || (data == nullptr && length > 0)) {
        return 0;
    }
    if (length == 0) {
        *list = nullptr;
        return 1;
    }
    // A stream opened for reading only never writes to the buffer.
    FILE* stream = ::fmemopen(const_cast<unsigned char*>(data), length, "r");
    if (stream == nullptr) {
        return 0;
    }
    LineList2* head = nullptr;
    const bool ok = ReadLines(stream, &head);
    std::fclose(stream);
    if (!ok) {
        FreeLines(head);
        return 0;
    }
    *list = head;
    return 1;
}

void FreeFile(LineList** list) {
    if (list == nullptr) {
        return;
    }
    FreeLines(*list);
    *list = nullptr;
}

void FreeFile2(LineList2** list) {
    if (list == nullptr) {
        return;
    }
    FreeLines(*list);
    *list = nullptr;
}

}  // namespace upd
