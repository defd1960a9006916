#pragma once
// Stand-in for the platform's unified log and for console prints.
//
// Log entries carry a subsystem, a category and a level and go to spdlog (stderr).
// Console prints are whole lines written to standard output.
// Tests can capture both with log::Capture.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace platform::log {

enum class Level { debug, info, error };

// One named log, like a logger made with a subsystem and a category.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    void debug(std::string_view message) const;
    void info(std::string_view message) const;
    void error(std::string_view message) const;
    void log(Level level, std::string_view message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

// The identifier of the kit's bundle, used as the log subsystem of the kit's loggers.
inline constexpr std::string_view kitBundleIdentifier = "com.mivokit.MivoKit";

// Writes one line (a newline is appended) to standard output.
void print(std::string_view line);

struct Entry {
    Level level;
    std::string subsystem;
    std::string category;
    std::string message;
};

// While alive, records every print and log entry of the process (from any thread), in order.
// Captures nest: each live capture sees everything. Output still goes to its usual place.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<std::string> printed() const;
    std::vector<Entry> entries() const;
    // True when some printed line equals `line`.
    bool printedLine(std::string_view line) const;
    void clear();

    // Called by print and Logger.
    void addPrint(std::string_view line);
    void addEntry(const Entry& entry);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> printed_;
    std::vector<Entry> entries_;
};

} // namespace platform::log

} // namespace MivoKit
