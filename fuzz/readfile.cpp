// Fuzzes the line-list readers on arbitrary file contents: both lists must
// hold exactly the lines a plain model of the line reader delivers (512-byte
// buffer, nothing skipped, reading ending quietly at the first over-long
// line), every line of ReadFile2 must come back whole from first + rest,
// cut after its first word, and ReadMemory2 must cut the same bytes held in
// memory into the same halves.
#include <cstring>
#include <string>
#include <vector>

#include "files/file.h"
#include "fuzz_support.h"
#include "line_model.h"

namespace {

constexpr char kDelims[] = " \t(";

std::vector<std::string> ModelLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        upd::fuzz::ModelLine line = upd::fuzz::ModelNextLine(text, &pos, 512, 0);
        if (line.result < 0) {
            return lines;
        }
        lines.push_back(line.text.substr(0, line.text.find('\0')));  // stored as C strings
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = upd::fuzz::ScratchDir() + "/lines.txt";
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    upd::fuzz::WriteWhole(path, text);
    const std::vector<std::string> want = ModelLines(text);

    upd::LineList* list = nullptr;
    FUZZ_CHECK(upd::ReadFile(path.c_str(), &list) == 1);
    const upd::LineList* node = list;
    for (const std::string& line : want) {
        FUZZ_CHECK(node != nullptr && node->text != nullptr);
        FUZZ_CHECK(line == node->text);
        node = node->next;
    }
    FUZZ_CHECK(node == nullptr);
    upd::FreeFile(&list);
    FUZZ_CHECK(list == nullptr);

    upd::LineList2* list2 = nullptr;
    FUZZ_CHECK(upd::ReadFile2(path.c_str(), &list2) == 1);
    const upd::LineList2* node2 = list2;
    for (const std::string& line : want) {
        FUZZ_CHECK(node2 != nullptr && node2->first != nullptr && node2->rest != nullptr);
        // The two halves give the line back...
        FUZZ_CHECK(std::string(node2->first) + node2->rest == line);
        // ...cut after the first word: first is leading delimiters and a word
        // without delimiters, rest is empty or starts with a delimiter.
        const char* word = node2->first + strspn(node2->first, kDelims);
        FUZZ_CHECK(strpbrk(word, kDelims) == nullptr);
        FUZZ_CHECK(node2->rest[0] == '\0' || strchr(kDelims, node2->rest[0]) != nullptr);
        FUZZ_CHECK(*word != '\0' || node2->rest[0] == '\0');
        node2 = node2->next;
    }
    FUZZ_CHECK(node2 == nullptr);

    upd::LineList2* fromMemory = nullptr;
    FUZZ_CHECK(upd::ReadMemory2(data, size, &fromMemory) == 1);
    node2 = list2;
    for (const upd::LineList2* m = fromMemory; m != nullptr; m = m->next) {
        FUZZ_CHECK(node2 != nullptr);
        FUZZ_CHECK(strcmp(m->first, node2->first) == 0 && strcmp(m->rest, node2->rest) == 0);
        node2 = node2->next;
    }
    FUZZ_CHECK(node2 == nullptr);
    upd::FreeFile2(&fromMemory);
    upd::FreeFile2(&list2);
    FUZZ_CHECK(list2 == nullptr);
    return 0;
}
