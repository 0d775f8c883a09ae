#pragma once

#include "error.h"

#include <concepts>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// Logging for every deliverable. Lines go to journald (SYSLOG_IDENTIFIER = subsystem, a CATEGORY
// field, PRIORITY notice or err) when a journal is reachable, else to stderr as one line
// "subsystem[category] LEVEL: text". AMBREVOLI_LOG=stderr forces stderr.
//
// Arguments wrapped in Private (paths, URLs, error descriptions) are written "<private>" unless
// the environment has AMBREVOLI_LOG_PRIVATE=1. AMBREVOLI_LOG_LEVEL=error drops default lines.

namespace ambrevoli {

enum class LogLevel { standard, error };

// A piece of a line that is redacted unless the user opted in.
struct Private {
    std::string_view text;
};

// One written line, as a test capture sees it.
struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string text;     // as written: private pieces redacted unless opted in
    std::string revealed; // with every private piece shown
};

// A logger for one subsystem and category. Thread-safe; cheap to call when the level is off.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return m_subsystem; }
    const std::string& category() const { return m_category; }

    bool enabled(LogLevel level) const;

    // Writes one line made of `pieces` in order: text (string, string_view, const char*),
    // integers, and Private pieces. Nothing is formatted when the level is off.
    template <class... Pieces> void log(LogLevel level, const Pieces&... pieces) const
    {
        if (!enabled(level))
            return;
        std::string text, revealed;
        (append(text, revealed, pieces), ...);
        write(level, text, revealed);
    }

private:
    static void append(std::string& text, std::string& revealed, std::string_view piece)
    {
        text += piece;
        revealed += piece;
    }
    static void append(std::string& text, std::string& revealed, Private piece);
    template <std::integral I>
    requires(!std::is_same_v<I, char> &&
             !std::is_same_v<I, bool>) static void append(std::string& text, std::string& revealed,
                                                          I number)
    {
        append(text, revealed, std::string_view(std::to_string(number)));
    }

    void write(LogLevel level, const std::string& text, const std::string& revealed) const;

    std::string m_subsystem;
    std::string m_category;
};

// The logger for `category` under the running bundle's identifier. Created on first use and
// kept for the life of the process; safe from any thread.
const Logger& logger(std::string_view category);

// Error level: "message: domain code <private description>".
template <LoggableError E>
void logError(const Logger& log, std::string_view message, const E& error)
{
    if (!log.enabled(LogLevel::error))
        return;
    const std::string description = textualForm(error);
    log.log(LogLevel::error, message, ": ", errorDomain(error), " ", errorCode(error), " ",
            Private{description});
}

// Default level: "message: <private detail>".
inline void logDetail(const Logger& log, std::string_view message, std::string_view detail)
{
    log.log(LogLevel::standard, message, ": ", Private{detail});
}

// While alive, every line written by any logger is kept here instead of reaching journald or
// stderr. For tests; one capture at a time.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // The written text of every line, in order.
    std::vector<std::string> lines() const;
    void clear();

private:
    friend class Logger;
    void add(LogRecord record);

    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

} // namespace ambrevoli
