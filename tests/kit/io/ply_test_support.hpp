#pragma once
// Helpers for the PLY tests: a delegate that records every report as text, and byte builders
// for hand-made binary bodies.

#include "kit/io/ply_reader.hpp"

#include <bit>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using namespace MivoKit;

namespace plytest {

inline std::string describe(const PLYElement::Property& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            std::ostringstream out;
            auto one = [&](auto x) {
                if constexpr (sizeof(x) == 1) out << static_cast<int>(x);
                else out << x;
            };
            if constexpr (requires { v.size(); }) {
                out << "[";
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out << ",";
                    one(v[i]);
                }
                out << "]";
            } else {
                one(static_cast<T>(v));
            }
            return out.str();
        },
        value);
}

inline std::string describe(const PLYElement& element) {
    std::string text;
    for (const auto& value : element.properties) text += (text.empty() ? "" : " ") + describe(value);
    return text;
}

// Records reports as "start", "<typeIndex>: <values>", "finish" or "fail: <description>".
class RecordingDelegate : public PLYReaderDelegate {
public:
    void didStartReading(const PLYHeader& h) override {
        header = h;
        events.push_back("start");
    }
    void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element& elementHeader) override {
        events.push_back(std::to_string(typeIndex) + ": " + describe(element));
        elements.push_back(element);
        groupNames.push_back(elementHeader.name);
    }
    void didFinishReading() override { events.push_back("finish"); }
    void didFailReading(std::exception_ptr e) override {
        error = e;
        try {
            std::rethrow_exception(e);
        } catch (const PLYReaderError& plyError) {
            code = plyError.code();
            events.push_back("fail: " + plyError.description());
        } catch (const std::exception& other) {
            events.push_back(std::string("fail: ") + other.what());
        }
    }

    std::vector<std::string> events;
    std::vector<PLYElement> elements;
    std::vector<std::string> groupNames;
    PLYHeader header;
    std::exception_ptr error;
    std::optional<PLYReaderErrorCode> code;
};

// Appends values in a chosen byte order.
class Bytes {
public:
    explicit Bytes(bool bigEndian = false) : bigEndian_(bigEndian) {}

    template <class T>
    Bytes& add(T value) {
        std::uint64_t bits = 0;
        if constexpr (std::is_floating_point_v<T>) {
            if constexpr (sizeof(T) == 4) bits = std::bit_cast<std::uint32_t>(value);
            else bits = std::bit_cast<std::uint64_t>(value);
        } else {
            bits = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
        }
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            std::size_t shift = bigEndian_ ? 8 * (sizeof(T) - 1 - i) : 8 * i;
            data_.push_back(static_cast<char>((bits >> shift) & 0xFF));
        }
        return *this;
    }
    Bytes& raw(std::string_view text) {
        data_ += text;
        return *this;
    }
    const std::string& str() const { return data_; }

private:
    bool bigEndian_;
    std::string data_;
};

} // namespace plytest
