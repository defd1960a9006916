#include "platform/log/log.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>

namespace MivoKit {

namespace platform::log {
namespace {

// Live captures. Prints come from any thread, so the list has its own lock. Like the logger
// below, never destroyed: background threads may still print while the process exits.
std::mutex& capturesMutex() {
    static auto* m = new std::mutex();
    return *m;
}
std::vector<Capture*>& captures() {
    static auto* list = new std::vector<Capture*>();
    return *list;
}

spdlog::logger& sink() {
    static auto* logger = new std::shared_ptr<spdlog::logger>([] {
        auto l = spdlog::stderr_color_mt("mivokit-unified-log");
        l->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
        l->set_level(spdlog::level::debug);
        return l;
    }());
    return **logger;
}

spdlog::level::level_enum toSpdlog(Level level) {
    switch (level) {
    case Level::debug: return spdlog::level::debug;
    case Level::info: return spdlog::level::info;
    case Level::error: return spdlog::level::err;
    }
    return spdlog::level::info;
}

} // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::debug(std::string_view message) const { log(Level::debug, message); }
void Logger::info(std::string_view message) const { log(Level::info, message); }
void Logger::error(std::string_view message) const { log(Level::error, message); }

void Logger::log(Level level, std::string_view message) const {
    sink().log(toSpdlog(level), "[{}:{}] {}", subsystem_, category_, message);
    std::lock_guard lock(capturesMutex());
    for (Capture* c : captures()) c->addEntry(Entry{level, subsystem_, category_, std::string(message)});
}

void print(std::string_view line) {
    {
        std::lock_guard lock(capturesMutex());
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        for (Capture* c : captures()) c->addPrint(line);
    }
}

Capture::Capture() {
    std::lock_guard lock(capturesMutex());
    captures().push_back(this);
}

Capture::~Capture() {
    std::lock_guard lock(capturesMutex());
    auto& list = captures();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<std::string> Capture::printed() const {
    std::lock_guard lock(mutex_);
    return printed_;
}

std::vector<Entry> Capture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool Capture::printedLine(std::string_view line) const {
    std::lock_guard lock(mutex_);
    return std::find(printed_.begin(), printed_.end(), line) != printed_.end();
}

void Capture::clear() {
    std::lock_guard lock(mutex_);
    printed_.clear();
    entries_.clear();
}

void Capture::addPrint(std::string_view line) {
    std::lock_guard lock(mutex_);
    printed_.emplace_back(line);
}

void Capture::addEntry(const Entry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

} // namespace platform::log

} // namespace MivoKit
