// Fuzzes the line reader: every mode and a range of buffer sizes, each call
// compared with a plain model of the reader, and the buffer allocated to its
// exact size so that a write one byte too far is caught.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "line_model.h"
#include "manifest/line.h"

namespace {

// Sizes around the tab stops and the limits the system uses (256, 512).
constexpr int kSizes[] = {2, 3, 7, 8, 9, 10, 16, 17, 33, 64, 255, 256, 257, 512};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const uint8_t params = input.Byte();
    const int mode = params & 3;
    const int bufSize = kSizes[(params >> 2) % (sizeof kSizes / sizeof kSizes[0])];
    const std::string_view text = input.Rest();

    std::string keep;
    FILE* stream = upd::fuzz::OpenBytes(text, &keep);
    FUZZ_CHECK(stream != nullptr);

    // Too small a buffer is refused without reading the stream.
    int skipped = -1;
    char one[1] = {'x'};
    FUZZ_CHECK(upd::nextline(stream, one, 1, mode, &skipped) == -3);
    FUZZ_CHECK(upd::nextline(stream, nullptr, bufSize, mode, &skipped) == -3);
    FUZZ_CHECK(skipped == 0);
    FUZZ_CHECK(ftell(stream) == 0);

    std::unique_ptr<char[]> buf(new char[bufSize]);
    size_t pos = 0;
    for (;;) {
        upd::fuzz::ModelLine want = upd::fuzz::ModelNextLine(text, &pos, bufSize, mode);
        skipped = -1;
        const int got = upd::nextline(stream, buf.get(), bufSize, mode, &skipped);
        FUZZ_CHECK(got == want.result);
        FUZZ_CHECK(skipped == want.skipped);
        FUZZ_CHECK(static_cast<size_t>(ftell(stream)) == pos);
        if (got == -1) {
            FUZZ_CHECK(buf[0] == '\0');
            break;
        }
        const size_t len = got == -2 ? static_cast<size_t>(bufSize - 1) : static_cast<size_t>(got);
        FUZZ_CHECK(got < bufSize);
        FUZZ_CHECK(want.text.size() == len);
        FUZZ_CHECK(memcmp(buf.get(), want.text.data(), len) == 0);
        FUZZ_CHECK(buf[len] == '\0');
        // A delivered line holds no line end, carriage return or tab.
        FUZZ_CHECK(memchr(buf.get(), '\n', len) == nullptr);
        FUZZ_CHECK(memchr(buf.get(), '\r', len) == nullptr);
        FUZZ_CHECK(memchr(buf.get(), '\t', len) == nullptr);
        if (got > 0) {
            FUZZ_CHECK(buf[got - 1] != ' ');
        }
        if (got >= 0 && (mode & 1)) {
            FUZZ_CHECK(!upd::IsBlank(buf.get()));
        }
        if (got >= 0 && (mode & 2)) {
            FUZZ_CHECK(!upd::iscomm(buf.get()));
        }
    }
    // End of input stays end of input.
    FUZZ_CHECK(upd::nextline(stream, buf.get(), bufSize, mode, &skipped) == -1);
    fclose(stream);
    return 0;
}
