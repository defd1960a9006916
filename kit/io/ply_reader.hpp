#pragma once
// Streams one PLY file to a delegate: the parsed header, every element instance of the body in
// file order, then the end of the file or a failure. The file is read in fixed-size chunks and
// the body is never held whole in memory.

#include "kit/io/ply_element.hpp"
#include "kit/io/ply_header.hpp"
#include "kit/io/ply_reader_error.hpp"

#include <cstddef>
#include <exception>
#include <filesystem>

namespace MivoKit {

class PLYReaderDelegate {
public:
    virtual ~PLYReaderDelegate() = default;

    // Once, when the header has been parsed, before any element.
    virtual void didStartReading(const PLYHeader& header) = 0;
    // Once per element instance. `typeIndex` is the instance's group in header.elements and
    // `elementHeader` that group's entry. The element is reused for the next instance: a delegate
    // that keeps values copies them during the call.
    virtual void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element& elementHeader) = 0;
    // Once, when every element group has been read completely.
    virtual void didFinishReading() = 0;
    // Once, when the read fails; always with a PLYReaderError (or the exception that stopped it).
    virtual void didFailReading(std::exception_ptr error) = 0;
};

class PLYReader {
public:
    using Error = PLYReaderError;
    using ErrorCode = PLYReaderErrorCode;

    explicit PLYReader(std::filesystem::path url) : url_(std::move(url)) {}

    const std::filesystem::path& url() const { return url_; }

    // Reads the whole file synchronously on the caller's thread. Raises nothing: every read ends
    // with exactly one didFinishReading or didFailReading. Each read starts from the beginning.
    void read(PLYReaderDelegate& delegate) const;

private:
    std::filesystem::path url_;
};

} // namespace MivoKit
