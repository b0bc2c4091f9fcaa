#include "ConfigTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/make_shared.hpp>

extern char** environ;

namespace cfgtest {

CTempDir::CTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "plinth-config-test.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    m_path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

CChild::CChild(const std::vector<std::string>& args, const Environment& env, bool mergeStderr)
{
    // Everything the child needs is prepared before fork(): after it, only exec.
    std::vector<std::string> argStrings{PLINTH_CONFIG_HELPER};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (!env.count(name))
            envStrings.push_back(text);
    }
    for (const auto& [name, value] : env)
        if (value)
            envStrings.push_back(name + "=" + *value);
    std::vector<char*> argv, envp;
    for (auto& arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& var : envStrings)
        envp.push_back(var.data());
    envp.push_back(nullptr);

    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        if (mergeStderr)
            dup2(fromChild[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
}

CChild::~CChild()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        Wait();
    }
    if (m_in >= 0)
        close(m_in);
    if (m_out >= 0)
        close(m_out);
}

std::optional<std::string> CChild::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        if (m_eof) {
            if (m_buffer.empty())
                return std::nullopt;
            std::string line;
            line.swap(m_buffer);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd fd{m_out, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t got = read(m_out, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            m_eof = true;
        else
            m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::vector<std::string> CChild::ReadAllLines(std::chrono::milliseconds timeout)
{
    std::vector<std::string> lines;
    while (auto line = ReadLine(timeout))
        lines.push_back(*line);
    return lines;
}

void CChild::WriteLine(const std::string& line)
{
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(m_in, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        done += static_cast<std::size_t>(put);
    }
}

void CChild::Kill(int signal)
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

int CChild::Wait()
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::vector<std::string> RunHelper(const std::vector<std::string>& args, const CChild::Environment& env, int& code,
                                   bool mergeStderr)
{
    CChild child(args, env, mergeStderr);
    auto lines = child.ReadAllLines();
    code = child.Wait();
    return lines;
}

namespace {

std::string Describe(const mem::CBin& value)
{
    std::ostringstream text;
    utl::CUnit unit;
    text << "type " << value.GetTypeCode() << ", " << value.GetSize() << " bytes";
    if (value.GetUnit(unit))
        text << ", unit " << unit.GetCode();
    return text.str();
}

std::optional<std::string> Compare(const utl::CPropSet& expected, const utl::CPropSet& actual, const std::string& at)
{
    const auto a = expected.Snapshot(), b = actual.Snapshot();
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i >= a.size() || i >= b.size() || a[i].first != b[i].first)
            return at + ": properties differ at index " + std::to_string(i) + " (" +
                   (i < a.size() ? std::to_string(a[i].first) : "none") + " vs " +
                   (i < b.size() ? std::to_string(b[i].first) : "none") + ")";
        const std::string here = at + "/" + std::to_string(a[i].first);
        const mem::CBin &x = a[i].second, &y = b[i].second;
        mem::PropSetVector xs, ys;
        if (x.Restore(xs)) {
            if (!y.Restore(ys) || xs.size() != ys.size() || x.HasUnit() != y.HasUnit())
                return here + ": " + Describe(x) + " vs " + Describe(y);
            for (std::size_t k = 0; k < xs.size(); ++k) {
                if (!xs[k] != !ys[k])
                    return here + "[" + std::to_string(k) + "]: null vs not null";
                if (xs[k])
                    if (auto diff = Compare(*xs[k], *ys[k], here + "[" + std::to_string(k) + "]"))
                        return diff;
            }
        } else if (x != y) {
            return here + ": " + Describe(x) + " vs " + Describe(y);
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> Difference(const utl::CPropSet& expected, const utl::CPropSet& actual)
{
    return Compare(expected, actual, "");
}

utl::PropSetPtr StoredSet(const std::string& file, const cfg::tSetKey& key)
{
    std::string error;
    auto store = cfg::CSqliteStore::Open(file, error);
    if (!store)
        return nullptr;
    auto set = boost::make_shared<utl::CPropSet>();
    return store->Load(key, *set) ? set : nullptr;
}

std::vector<cfg::tSetKey> StoredKeys(const std::string& file)
{
    std::string error;
    auto store = cfg::CSqliteStore::Open(file, error);
    return store ? store->StoredKeys() : std::vector<cfg::tSetKey>{};
}

void StoreSet(const std::string& file, const cfg::tSetKey& key, const utl::PropSetPtr& set)
{
    std::string error;
    auto store = cfg::CSqliteStore::Open(file, error);
    if (!store || !store->Save({{key, set}}))
        throw std::runtime_error("cannot store into " + file + ": " + error);
}

mem::CBin Int(std::int32_t value) { return mem::CBin::Of(value); }
mem::CBin Int64(std::int64_t value) { return mem::CBin::Of(value); }
mem::CBin Double(double value) { return mem::CBin::Of(value); }
mem::CBin Double(double value, const utl::CUnit& unit)
{
    mem::CBin bin = mem::CBin::Of(value);
    bin.SetUnit(unit);
    return bin;
}
mem::CBin Bool(bool value) { return mem::CBin::Of(value); }
mem::CBin Text(const std::wstring& text)
{
    mem::CBin bin;
    bin.Store(text);
    return bin;
}
mem::CBin Sets(const mem::PropSetVector& sets)
{
    mem::CBin bin;
    bin.Store(sets);
    return bin;
}

utl::PropSetPtr NewSet(const std::vector<utl::CPropSet::Entry>& entries)
{
    auto set = boost::make_shared<utl::CPropSet>();
    set->Assign(entries);
    return set;
}

mem::PropSetVector SetsOf(const utl::CPropSet& set, int id)
{
    mem::CBin value;
    mem::PropSetVector sets;
    if (set.GetProperty(id, value))
        value.Restore(sets);
    return sets;
}

std::optional<std::int32_t> IntOf(const utl::CPropSet& set, int id)
{
    mem::CBin value;
    std::int32_t out = 0;
    if (set.GetProperty(id, value) && value.Get(out))
        return out;
    return std::nullopt;
}

} // namespace cfgtest
