#pragma once
// The state of one PLY read: the read loop that finds the header and feeds the body buffer, and
// the body decoding that turns the buffered bytes into element instances.
//
// Body decoding is incremental: parseBody decodes every whole instance the buffer holds from
// bodyOffset on, advances bodyOffset past what it consumed and returns to wait for more bytes;
// a partly received instance is decoded again from its first byte on the next call.

#include "kit/io/default_init_allocator.hpp"
#include "kit/io/ply_reader.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace MivoKit {

// What a reader built on the stream uses of a file, so that the stream can skip the rest: a
// header may declare up to 4294967295 instances of an element without properties, which take no
// bytes and would otherwise be reported one by one to a delegate that ignores them.
class PLYReadInterest {
public:
    virtual ~PLYReadInterest() = default;
    // False for element groups whose instances the delegate ignores.
    virtual bool wantsElements(std::size_t typeIndex) const = 0;
    // True once the delegate has ended its own report: the read then stops without further calls.
    virtual bool done() const = 0;
};

// A reader that decodes binary rows itself, from byte offsets it worked out from the header. For
// the groups it claims, the stream hands over runs of whole instances as raw bytes instead of one
// PLYElement per instance: only groups whose properties are all scalars, in a binary body.
class PLYRowDelegate {
public:
    virtual ~PLYRowDelegate() = default;
    // True when instances of `typeIndex` should arrive as rows.
    virtual bool wantsRows(std::size_t typeIndex) const = 0;
    // Whole instances of `typeIndex`, `rowSize` bytes each, in file order and the file's byte
    // order; the bytes are only valid during the call.
    virtual void didReadRows(std::size_t typeIndex, std::span<const std::uint8_t> rows, std::size_t rowSize) = 0;
};

class PLYReaderStream {
public:
    explicit PLYReaderStream(PLYReaderDelegate& delegate, const PLYReadInterest* interest = nullptr,
                             PLYRowDelegate* rows = nullptr)
        : delegate_(delegate), interest_(interest), rows_(rows) {}

    // The read loop for one file; ends with exactly one terminal report to the delegate.
    void read(const std::filesystem::path& url);

    // Decodes from bodyOffset as many whole instances as `body` holds, passing each to the
    // delegate. `final` marks that no more bytes will come (a last ASCII line without a line feed
    // is then decoded). Returns when every group is complete or no further whole instance is
    // buffered; throws PLYReaderError on a malformed instance.
    void parseBody(bool final);

    // True once every element group has been read.
    bool complete() const;

    std::optional<PLYHeader> header;
    // Grown without zeroing right before each read() into its end.
    std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>> body;
    std::size_t bodyOffset = 0;
    std::size_t currentElementGroup = 0;
    std::size_t currentElementCountInGroup = 0;
    PLYElement reusableElement;

private:
    // Per element group: its byte size when every property is a scalar (binary bodies).
    struct GroupLayout {
        std::optional<std::size_t> fixedSize;
        std::vector<PLYHeader::PrimitivePropertyType> types;
    };

    void reset();
    const GroupLayout& layout(std::size_t group);
    // Moves past groups without instances; false when the body is complete.
    bool skipToGroupWithInstances();
    void deliverAndAdvance();

    void readASCIIElements(std::span<const std::uint8_t> region, bool final);
    void parseASCIIElement(std::string_view line, const PLYHeader::Element& declaration);
    void readBinaryElements(std::span<const std::uint8_t> region, bool bigEndian);
    // The instance's size in bytes, or none when the bytes end inside it.
    std::optional<std::size_t> readBinaryElement(std::span<const std::uint8_t> bytes,
                                                 const PLYHeader::Element& declaration, bool bigEndian);

    PLYReaderDelegate& delegate_;
    const PLYReadInterest* interest_;
    PLYRowDelegate* rows_;
    std::vector<GroupLayout> layouts_;
    // Bytes from bodyOffset on known to hold no line terminator (ASCII bodies).
    std::size_t incompleteLineScanned_ = 0;
};

} // namespace MivoKit
