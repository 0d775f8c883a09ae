#include "log.h"

#include "bundle_info.h"

#include <dlfcn.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>

namespace ambrevoli {

namespace {

bool environmentIs(const char* name, std::string_view value)
{
    const char* set = std::getenv(name);
    return set != nullptr && value == set;
}

struct Settings {
    bool revealPrivate = environmentIs("AMBREVOLI_LOG_PRIVATE", "1");
    bool errorsOnly = environmentIs("AMBREVOLI_LOG_LEVEL", "error");
    bool journal = !environmentIs("AMBREVOLI_LOG", "stderr") &&
                   ::access("/run/systemd/journal/socket", W_OK) == 0;
};

const Settings& settings()
{
    static const Settings values;
    return values;
}

using JournalSend = int (*)(const char* format, ...);

// The journal's client library is loaded on the first line that goes to the journal, not at
// start: linking it would make every short-lived program that links the kit (ambrevoli-send
// above all) pay for loading it and its compression and crypto libraries before doing anything.
// Null when it can't be loaded; the line then goes to stderr.
JournalSend journalSend()
{
    static const JournalSend send = []() -> JournalSend {
        void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return nullptr;
        return reinterpret_cast<JournalSend>(::dlsym(library, "sd_journal_send"));
    }();
    return send;
}

std::atomic<LogCapture*> activeCapture{nullptr};
std::mutex captureMutex;

void writeToStderr(const std::string& line)
{
    // One write per line so that lines from several threads never interleave.
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace

Logger::Logger(std::string subsystem, std::string category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category))
{}

bool Logger::enabled(LogLevel level) const
{
    return level == LogLevel::error || !settings().errorsOnly;
}

void Logger::append(std::string& text, std::string& revealed, Private piece)
{
    text += settings().revealPrivate ? piece.text : std::string_view("<private>");
    revealed += piece.text;
}

void Logger::write(LogLevel level, const std::string& text, const std::string& revealed) const
{
    if (activeCapture.load()) {
        std::lock_guard lock(captureMutex);
        if (LogCapture* capture = activeCapture.load()) {
            capture->add({m_subsystem, m_category, level, text, revealed});
            return;
        }
    }
    if (const JournalSend send = settings().journal ? journalSend() : nullptr) {
        int priority = level == LogLevel::error ? LOG_ERR : LOG_NOTICE;
        if (send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=%s",
                 m_subsystem.c_str(), "CATEGORY=%s", m_category.c_str(), nullptr) >= 0)
            return;
    }
    writeToStderr(m_subsystem + "[" + m_category + "] " +
                  (level == LogLevel::error ? "error" : "default") + ": " + text + "\n");
}

const Logger& logger(std::string_view category)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
    std::lock_guard lock(mutex);
    auto found = loggers.find(category);
    if (found == loggers.end())
        found = loggers
                    .emplace(std::string(category),
                             std::make_unique<Logger>(std::string(mainBundle().identifier),
                                                      std::string(category)))
                    .first;
    return *found->second;
}

LogCapture::LogCapture()
{
    std::lock_guard lock(captureMutex);
    activeCapture.store(this);
}

LogCapture::~LogCapture()
{
    std::lock_guard lock(captureMutex);
    activeCapture.store(nullptr);
}

void LogCapture::add(LogRecord record)
{
    std::lock_guard lock(m_mutex);
    m_records.push_back(std::move(record));
}

std::vector<LogRecord> LogCapture::records() const
{
    std::lock_guard lock(m_mutex);
    return m_records;
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const auto& record : m_records)
        texts.push_back(record.text);
    return texts;
}

void LogCapture::clear()
{
    std::lock_guard lock(m_mutex);
    m_records.clear();
}

} // namespace ambrevoli
