// The read loop of PLYReaderStream: finds the header between its start and end markers, then
// feeds the body to body decoding chunk by chunk, compacting the buffer as decoding advances.

#include "kit/io/ply_reader_stream.hpp"

#include "kit/io/file_input_stream.hpp"
#include "kit/io/ply_header_parser.hpp"
#include "kit/io/utf8.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace MivoKit {

namespace {

constexpr std::size_t kHeaderReadSize = 8192;
// Large enough that a run of rows handed over at once makes batches of a few thousand points,
// small enough to stay in the core's own cache while they are decoded.
constexpr std::size_t kBodyReadSize = 512 * 1024;
constexpr std::string_view kStartMarker = "ply\n";
constexpr std::string_view kEndMarker = "end_header\n";

enum class ScanState { lookingForStart, inHeader, inBody };

// Reports the single terminal call of a read and remembers that it was made.
class Ending {
public:
    explicit Ending(PLYReaderDelegate& delegate) : delegate_(delegate) {}

    void fail(std::exception_ptr error) {
        done_ = true;
        delegate_.didFailReading(std::move(error));
    }
    void fail(const PLYReaderError& error) { fail(std::make_exception_ptr(error)); }
    void finish() {
        done_ = true;
        delegate_.didFinishReading();
    }
    bool done() const { return done_; }

private:
    PLYReaderDelegate& delegate_;
    bool done_ = false;
};

} // namespace

void PLYReader::read(PLYReaderDelegate& delegate) const {
    PLYReaderStream stream(delegate);
    stream.read(url_);
}

void PLYReaderStream::reset() {
    header.reset();
    body.clear();
    bodyOffset = 0;
    currentElementGroup = 0;
    currentElementCountInGroup = 0;
    layouts_.clear();
    incompleteLineScanned_ = 0;
}

void PLYReaderStream::read(const std::filesystem::path& url) {
    reset();
    Ending ending(delegate_);
    auto input = FileInputStream::make(url);
    if (!input) {
        ending.fail(PLYReaderError::cannotOpenSource(url));
        return;
    }

    try {
        std::vector<std::uint8_t> chunk(kHeaderReadSize);
        std::string headerBytes;
        ScanState state = ScanState::lookingForStart;
        input->open();

        ssize_t n = input->read(chunk.data(), chunk.size());
        if (n < 0) return ending.fail(PLYReaderError::readError(url));
        if (n == 0) return ending.fail(PLYReaderError::unexpectedEndOfFile(url));

        while (state != ScanState::inBody) {
            const auto length = static_cast<std::size_t>(n);
            std::size_t i = 0;
            while (i < length && state != ScanState::inBody) {
                if (state == ScanState::lookingForStart) {
                    headerBytes.push_back(static_cast<char>(chunk[i++]));
                    if (headerBytes.size() == kStartMarker.size()) {
                        if (headerBytes != kStartMarker) return ending.fail(PLYReaderError::headerStartMissing());
                        state = ScanState::inHeader;
                    }
                    continue;
                }
                // The header ends at the first line feed that completes "end_header".
                const auto* start = chunk.data() + i;
                const auto* lineFeed = static_cast<const std::uint8_t*>(std::memchr(start, '\n', length - i));
                std::size_t take = lineFeed ? static_cast<std::size_t>(lineFeed - start) + 1 : length - i;
                headerBytes.append(reinterpret_cast<const char*>(start), take);
                i += take;
                if (!lineFeed || !std::string_view(headerBytes).ends_with(kEndMarker)) continue;

                if (!utf8::isValid(headerBytes)) return ending.fail(PLYReaderError::headerInvalidCharacters());
                try {
                    header = parsePLYHeader(headerBytes);
                } catch (const PLYReaderError& error) {
                    return ending.fail(error);
                }
                std::string().swap(headerBytes);
                state = ScanState::inBody;
                delegate_.didStartReading(*header);
                if (interest_ && interest_->done()) return;
            }
            if (state == ScanState::inBody) {
                // The rest of the chunk starts the body.
                body.assign(chunk.begin() + static_cast<std::ptrdiff_t>(i),
                            chunk.begin() + static_cast<std::ptrdiff_t>(length));
                break;
            }
            n = input->read(chunk.data(), chunk.size());
            if (n < 0) return ending.fail(PLYReaderError::readError(url));
            if (n == 0) return ending.fail(PLYReaderError::unexpectedEndOfFile(url));
        }
        std::vector<std::uint8_t>().swap(chunk);

        // The body: decode what arrived, keep the incomplete instance at the front, read more
        // straight behind it.
        bool arrived = !body.empty();
        for (;;) {
            if (arrived) {
                try {
                    parseBody(false);
                } catch (const PLYReaderError& error) {
                    return ending.fail(error);
                }
                if (complete()) return ending.finish(); // the rest of the file is not read
                if (interest_ && interest_->done()) return;
            }
            if (bodyOffset > 0) {
                body.erase(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(bodyOffset));
                bodyOffset = 0;
            }
            const std::size_t kept = body.size();
            body.resize(kept + kBodyReadSize);
            n = input->read(body.data() + kept, kBodyReadSize);
            body.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0) return ending.fail(PLYReaderError::readError(url));
            if (n == 0) break;
            arrived = true;
        }

        // End of the file.
        try {
            parseBody(true);
        } catch (const PLYReaderError& error) {
            return ending.fail(error);
        }
        if (complete()) ending.finish();
        else ending.fail(PLYReaderError::unexpectedEndOfFile(url));
    } catch (...) {
        // Anything else that stops the read (memory exhausted, a delegate that throws) still ends
        // it with one terminal report, unless that report was what threw.
        if (ending.done()) throw;
        ending.fail(std::current_exception());
    }
}

} // namespace MivoKit
