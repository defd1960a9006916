#include "kit/conversation/uuid_text.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cctype>

namespace MivoKit {

std::string makeUUIDString() {
    // One generator per thread: it is not safe to share, and seeding it is costly.
    thread_local boost::uuids::random_generator generator;
    std::string text = boost::uuids::to_string(generator());
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

} // namespace MivoKit
