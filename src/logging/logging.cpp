// The global logger: spdlog loggers, one per target, sharing one sink that writes each record
// as one line (log_line_format) into the opened "app.log".
#include "logging/logging.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "logging/log_file_choice.h"
#include "service/tool_config.h"

namespace kavel_lib::logging {

namespace {

Level level_of(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
      return Level::Trace;
    case spdlog::level::debug:
      return Level::Debug;
    case spdlog::level::info:
      return Level::Info;
    case spdlog::level::warn:
      return Level::Warn;
    default:
      return Level::Error;
  }
}

spdlog::level::level_enum spdlog_level(Level level) {
  switch (level) {
    case Level::Error:
      return spdlog::level::err;
    case Level::Warn:
      return spdlog::level::warn;
    case Level::Info:
      return spdlog::level::info;
    case Level::Debug:
      return spdlog::level::debug;
    case Level::Trace:
      return spdlog::level::trace;
  }
  return spdlog::level::info;
}

// The format callback handed to the logger: forwards to log_line_format unchanged.
void log_format_shim(std::string& out, std::string_view message, const Record& record) {
  log_line_format(out, message, record);
}

class LineFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    std::string line;
    const Record record{level_of(msg.level), std::string_view(msg.logger_name.data(), msg.logger_name.size()),
                        msg.time};
    log_format_shim(line, std::string_view(msg.payload.data(), msg.payload.size()), record);
    line.push_back('\n');
    dest.append(line.data(), line.data() + line.size());
  }
  [[nodiscard]] std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<LineFormatter>(); }
};

// Writes each formatted line with one append to the file, until the run's budget is spent.
// (base_sink holds its mutex around sink_it_, which guards the byte count.)
class AppendFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit AppendFileSink(platform::AppendFile file) : file_(std::move(file)) {
    set_formatter_(std::make_unique<LineFormatter>());
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (budget_spent_) return;
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    if (kRunLogBudget - written_ < line.size()) {
      budget_spent_ = true;
      const spdlog::details::log_msg notice(
          spdlog::string_view_t(kLoggingTarget.data(), kLoggingTarget.size()), spdlog::level::warn,
          spdlog::string_view_t(kRecordsDroppedText.data(), kRecordsDroppedText.size()));
      line.clear();
      formatter_->format(notice, line);
    }
    written_ += line.size();
    // A record that cannot be written is lost; logging never fails its caller.
    (void)file_.write_all(std::string_view(line.data(), line.size()));
  }
  void flush_() override {}
  void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override { formatter_ = std::move(formatter); }

 private:
  platform::AppendFile file_;
  // Bytes written in this run (never more than kRunLogBudget before the notice).
  std::uint64_t written_ = 0;
  bool budget_spent_ = false;
};

// The installed logger set: never freed, as records may come from any thread until the end.
struct LoggerSet {
  std::shared_ptr<AppendFileSink> sink;
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> by_target;

  std::shared_ptr<spdlog::logger> logger_for(std::string_view target) {
    std::lock_guard lock(mutex);
    if (const auto it = by_target.find(target); it != by_target.end()) return it->second;
    auto logger = std::make_shared<spdlog::logger>(std::string(target), sink);
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
    by_target.emplace(std::string(target), logger);
    return logger;
  }
};

std::atomic<LoggerSet*> g_installed{nullptr};

// The most severe level that is still written.
constexpr Level kMaxLevel = Level::Info;

}  // namespace

bool enabled(Level level) {
  return g_installed.load(std::memory_order_acquire) != nullptr && static_cast<int>(level) <= static_cast<int>(kMaxLevel);
}

void log(Level level, std::string_view target, std::string_view message) {
  if (!enabled(level)) return;
  LoggerSet* set = g_installed.load(std::memory_order_acquire);
  try {
    set->logger_for(target)->log(spdlog::source_loc{}, spdlog_level(level),
                                 spdlog::string_view_t(message.data(), message.size()));
  } catch (...) {
    // Out of memory while logging: the record is dropped.
  }
}

void init_logging() {
  const auto candidates = log_folder_candidates();
  auto opened = open_log_file(candidates, last_resort_log_folder());
  if (!opened) return;
  const std::string shown = service::path_text(opened->path);

  auto* set = new LoggerSet;
  set->sink = std::make_shared<AppendFileSink>(std::move(opened->file));
  LoggerSet* expected = nullptr;
  if (!g_installed.compare_exchange_strong(expected, set, std::memory_order_acq_rel)) {
    delete set;  // a logger is already installed and stays; this file is not used
  }
  info(kLoggingTarget, "Logger initialized, log file: {}", shown);
}

}  // namespace kavel_lib::logging
