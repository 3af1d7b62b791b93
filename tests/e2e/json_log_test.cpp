// log_format = json through a whole run of the built agent: every line must
// parse, and say what the text line says.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/agent_run.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

// Checks that every line of `json_log` is one JSON object with the expected
// members, whose level, scope and message equal the line at the same place
// in `text_log` (read with invalid UTF-8 replaced), whose bundle is the
// "[name]" its message starts with, if any, and is there on every http line;
// the lines a hook wrote are lines of their own, with "hook" and "bundle",
// left out of the comparison. Time stamps never go backwards.
const char* const kCompareScript = R"PY(
import datetime, json, re, sys
text = open(sys.argv[1], 'rb').read().decode('utf-8', errors='replace').split('\n')
raw = open(sys.argv[2], 'rb').read()
lines = raw.decode('utf-8').split('\n')  # must be UTF-8 throughout
assert lines[-1] == '' and text[-1] == '', 'no final line feed'
hooks = [json.loads(j) for j in lines[:-1] if '"hook":' in j and 'hook' in json.loads(j)]
for h in hooks:
    assert set(h) == {'ts', 'level', 'scope', 'bundle', 'hook', 'msg'}, h
    assert (h['hook'], h['msg']) == ('post_sync', 'hook'), h
    print('hook', h['bundle'])
lines = [j for j in lines if not ('"hook":' in j and 'hook' in json.loads(j))]
last = ''
assert len(lines) == len(text), (len(lines), len(text))
now = datetime.datetime.now(datetime.timezone.utc)
for j, t in zip(lines[:-1], text[:-1]):
    o = json.loads(j)
    keys = set(o)
    assert keys in ({'ts', 'level', 'scope', 'msg'}, {'ts', 'level', 'scope', 'bundle', 'msg'}), keys
    ts = datetime.datetime.strptime(o['ts'], '%Y-%m-%dT%H:%M:%S.%fZ').replace(tzinfo=datetime.timezone.utc)
    assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z', o['ts']), o['ts']
    assert abs((now - ts).total_seconds()) < 120, o['ts']
    m = re.fullmatch(r'(error|warning|info)\((config|quillstead|bundle|http)\): (.*)', t, re.S)
    assert m, t
    assert (o['level'], o['scope']) == (m.group(1), m.group(2)), (o, t)
    assert o['msg'] == m.group(3), (o['msg'], m.group(3))
    assert o['ts'] >= last, (o['ts'], last)
    last = o['ts']
    if 'bundle' in o and o['msg'].lstrip(' ').startswith('['):
        assert o['msg'].lstrip(' ').startswith('[' + o['bundle'] + ']'), o
    if o['scope'] == 'http':
        assert 'bundle' in o, o
    print(o['level'], o.get('bundle', '-'))
)PY";

TEST(JsonLog, EveryLineOfARunParsesAndMatchesTheTextLine) {
    // Hostile ETags: quotes and backslashes, a control byte, bytes that are
    // not UTF-8, and one far longer than any line buffer.
    const std::string long_etag = "\"" + std::string(3000, 'e') + "\"";
    TempDir tree;
    writeFile(tree / "index.html", "hello");
    TempDir out;
    const std::string archive = out / "site.tar.gz";
    makeTarGz(tree.str(), archive);
    const std::string body = readFile(archive);
    const auto answer = [&body](const std::string& etag) {
        return "HTTP/1.1 200 OK\r\nETag: " + etag + "\r\ncontent-length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    ScriptedServer quotes({script::respond(answer("\"q\\\"u\\\\o\""))}, {.repeat_last = true, .lifetime = 30s});
    ScriptedServer control({script::respond(answer("\"c\x01\x7f\""))}, {.repeat_last = true, .lifetime = 30s});
    ScriptedServer latin1({script::respond(answer("\"\xe9t\xe9\xff\""))}, {.repeat_last = true, .lifetime = 30s});
    ScriptedServer longer({script::respond(answer(long_etag))}, {.repeat_last = true, .lifetime = 30s});

    std::string logs[2];
    TempDir top;
    for (int json = 0; json < 2; ++json) {
        SCOPED_TRACE(json ? "json" : "text");
        // Relative target directories, so that both runs log the same text.
        const std::string dir = top / (json ? "json" : "text");
        std::filesystem::create_directory(dir);
        std::string conf = json ? "[global]\nlog_format = json\n" : "[global]\nlog_format = text\n";
        const std::pair<std::string, std::string> bundles[] = {
            {"quo\"te\\s", quotes.url("/a")},
            {"ctl\x01\x1b[31m", control.url("/b")},
            {"l\xe9tin", latin1.url("/c")},
            {"long", longer.url("/d")},
            {"refused \"x\"", "http://127.0.0.1:9/e"},
        };
        int n = 0;
        for (const auto& [name, url] : bundles) {
            conf += "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = t" + std::to_string(n++) +
                    "\npost_sync = echo hook >&2\n";
        }
        conf += "[bundle site]\nurl = x\n[bundle.incomplete]\nurl = y\n";
        writeFile(dir + "/q.conf", conf);
        RunOptions options;
        options.args = {"-c", "q.conf", "once"};
        options.working_dir = dir;
        const auto result = runProcess(quillsteadBinary(), options);
        EXPECT_EQ(result.exit_status, 2) << result.err;
        logs[json] = result.err;
    }
    // The hook's own output is not the agent's: leave it out of the text;
    // the comparison takes the json hook lines apart.
    for (std::size_t at; (at = logs[0].find("hook\n")) != std::string::npos;) logs[0].erase(at, 5);
    TempDir scratch;
    writeFile(scratch / "text.log", logs[0]);
    writeFile(scratch / "json.log", logs[1]);
    RunOptions options;
    options.args = {"-c", kCompareScript, scratch / "text.log", scratch / "json.log"};
    const auto compared = runProcess("/usr/bin/python3", options);
    EXPECT_EQ(compared.exit_status, 0) << compared.err << logs[1];
    // Every outcome was seen: four installs and one refused connection, each
    // line naming its bundle.
    EXPECT_NE(compared.out.find("error refused \"x\"\n"), std::string::npos) << compared.out;
    EXPECT_NE(compared.out.find("info long\n"), std::string::npos) << compared.out;
    EXPECT_NE(compared.out.find("hook quo\"te\\s\n"), std::string::npos) << compared.out;
}

}  // namespace
}  // namespace qs::test
