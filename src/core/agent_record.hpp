#pragma once
// What state_dir keeps about the daemon itself, so that `status` can tell
// a quiet agent from a stopped one: agent.json (its process ID, when it
// started, the configuration file it runs, its last pass), rewritten
// through the record writer, and agent.lock, which the daemon holds locked
// for its whole life. A process ID alone could be reused by another
// program; the lock's holder is the running agent and no one else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd.hpp"

namespace qs {

inline constexpr std::string_view kAgentRecordName = "agent.json";
inline constexpr std::string_view kAgentLockName = "agent.lock";

struct AgentRecord {
    int pid = 0;
    std::int64_t started = 0;    // Unix seconds
    std::string config;          // the configuration file, absolute
    std::int64_t last_pass = 0;  // Unix seconds of the last pass that ran a cycle; 0: none yet
};

// One JSON object and a line feed.
[[nodiscard]] std::string renderAgentRecord(const AgentRecord& record);
// Empty when `text` is not such a record.
[[nodiscard]] std::optional<AgentRecord> parseAgentRecord(std::string_view text);
// state_dir/agent.json; empty when missing or unreadable.
[[nodiscard]] std::optional<AgentRecord> readAgentRecord(std::string_view state_dir);

// Whether the agent a record names still runs: its process exists and
// holds agent.lock. Where the lock cannot be read (another user's
// state_dir), the process's existence alone decides.
[[nodiscard]] bool agentRunning(std::string_view state_dir, const AgentRecord& record);

// The daemon's side: takes agent.lock in state_dir and keeps agent.json up
// to date. Failing either is a warning; the agent runs on regardless.
class AgentPresence {
public:
    // At start-up and after a reload that moved state_dir (nothing without
    // one): the lock in that directory and a record of this process.
    void claim(const std::optional<std::string>& state_dir, std::string_view config_path);
    // After a pass that ran a cycle.
    void passEnded();

private:
    void write();

    std::optional<std::string> state_dir_;
    platform::Fd lock_;
    AgentRecord record_;
    bool writing_ = false;
};

}  // namespace qs
