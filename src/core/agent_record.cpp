#include "core/agent_record.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/process_lock.hpp"
#include "platform/process_state.hpp"
#include "platform/record_file.hpp"
#include "util/integer_text.hpp"
#include "util/json.hpp"

namespace qs {

namespace {

using log::Scope;

// agent.json is a few short fields.
constexpr std::size_t kMaxAgentRecordBytes = 16384;

std::string pathIn(std::string_view directory, std::string_view name) {
    std::string path(directory);
    path.append("/").append(name);
    return path;
}

std::optional<std::uint64_t> unsignedMember(const JsonFlatObject& o, std::string_view name) {
    const auto it = o.find(name);
    if (it == o.end() || !it->second) return std::nullopt;
    const auto value = parseUnsigned(*it->second, 10, IntegerWidth::bits64);
    if (!value) return std::nullopt;
    return *value;
}

std::string absolutePath(std::string_view path) {
    if (path.starts_with('/')) return std::string(path);
    auto cwd = platform::currentDirectory();
    if (!cwd) return std::string(path);
    std::string absolute = std::move(*cwd);
    if (!absolute.ends_with('/')) absolute += '/';
    return absolute.append(path);
}

}  // namespace

std::string renderAgentRecord(const AgentRecord& record) {
    std::string out = "{\"pid\":" + std::to_string(record.pid) +
                      ",\"started\":" + std::to_string(record.started) + ",\"config\":";
    appendJsonString(out, record.config);
    out += ",\"last_pass\":";
    out += record.last_pass == 0 ? std::string("null") : std::to_string(record.last_pass);
    out += "}\n";
    return out;
}

std::optional<AgentRecord> parseAgentRecord(std::string_view text) {
    const auto object = parseFlatJsonObject(text);
    if (!object) return std::nullopt;
    const auto pid = unsignedMember(*object, "pid");
    if (!pid || *pid == 0 || *pid > INT32_MAX) return std::nullopt;
    AgentRecord record;
    record.pid = static_cast<int>(*pid);
    record.started = static_cast<std::int64_t>(unsignedMember(*object, "started").value_or(0));
    record.last_pass = static_cast<std::int64_t>(unsignedMember(*object, "last_pass").value_or(0));
    if (const auto it = object->find("config"); it != object->end() && it->second) {
        record.config = *it->second;
    }
    return record;
}

std::optional<AgentRecord> readAgentRecord(std::string_view state_dir) {
    auto text = platform::readRecordFile(pathIn(state_dir, kAgentRecordName), kMaxAgentRecordBytes);
    if (!text) return std::nullopt;
    return parseAgentRecord(*text);
}

bool agentRunning(std::string_view state_dir, const AgentRecord& record) {
    if (!platform::processExists(record.pid)) return false;
    const auto holder = platform::processLockHolder(pathIn(state_dir, kAgentLockName));
    // A lock file that cannot be opened for a look says nothing either way.
    if (!holder) return holder.error() != Error::FileNotFound;
    return *holder == record.pid;
}

void AgentPresence::claim(const std::optional<std::string>& state_dir,
                          std::string_view config_path) {
    try {
        if (state_dir == state_dir_ && writing_) return;
        lock_.reset();
        writing_ = false;
        state_dir_ = state_dir;
        if (!state_dir_) return;
        const std::string lock_path = pathIn(*state_dir_, kAgentLockName);
        auto locked = platform::holdProcessLock(lock_path);
        if (!locked) {
            if (locked.error() == Error::WouldBlock) {
                const auto other = platform::processLockHolder(lock_path);
                log::warn(Scope::quillstead, "another agent (pid ",
                          other && *other != 0 ? std::to_string(*other) : std::string("unknown"),
                          ") holds ", lock_path, "; ", kAgentRecordName, " is left to it");
            } else {
                log::warn(Scope::quillstead, "failed to lock ", lock_path, ": ", locked.error());
            }
            return;
        }
        lock_ = std::move(*locked);
        writing_ = true;
        record_.pid = platform::processId();
        if (record_.started == 0) record_.started = platform::wallClockSeconds();
        record_.config = absolutePath(config_path);
        record_.last_pass = 0;
        write();
    } catch (const std::bad_alloc&) {
        log::warn(Scope::quillstead, "failed to write ", kAgentRecordName, ": ", Error::OutOfMemory);
    }
}

void AgentPresence::passEnded() {
    if (!writing_) return;
    record_.last_pass = platform::wallClockSeconds();
    write();
}

void AgentPresence::write() {
    try {
        const std::string path = pathIn(*state_dir_, kAgentRecordName);
        if (auto written = platform::replaceRecordFile(path, renderAgentRecord(record_)); !written) {
            log::warn(Scope::quillstead, "failed to write ", path, ": ", written.error());
        }
    } catch (const std::bad_alloc&) {
        log::warn(Scope::quillstead, "failed to write ", kAgentRecordName, ": ", Error::OutOfMemory);
    }
}

}  // namespace qs
