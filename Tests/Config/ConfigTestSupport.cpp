#include "ConfigTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/make_shared.hpp>

extern char** environ;

namespace cfgtest {

CTempDir::CTempDir()
{
    m_path = (std::filesystem::temp_directory_path() / "plinth-config-test.XXXXXX").string();
    if (!mkdtemp(m_path.data()))
        throw std::runtime_error("mkdtemp failed");
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

void WriteBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

CChild::CChild(const std::vector<std::string>& args, const std::string& configFile)
{
    // Everything the child needs is prepared before fork(): after it, only exec.
    std::vector<std::string> strings{PLINTH_CONFIG_HELPER};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : strings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"PLINTH_CONFIG=" + configFile};
    for (char** entry = environ; *entry; ++entry)
        if (std::string(*entry).rfind("PLINTH_CONFIG=", 0) != 0)
            env.emplace_back(*entry);
    std::vector<char*> envp;
    for (auto& var : env)
        envp.push_back(var.data());
    envp.push_back(nullptr);
    int fromChild[2];
    if (pipe2(fromChild, O_CLOEXEC) != 0 || (m_pid = fork()) < 0)
        throw std::runtime_error("pipe or fork failed");
    if (m_pid == 0) {
        dup2(fromChild[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fromChild[1]);
    m_out = fromChild[0];
}

CChild::~CChild()
{
    Kill(SIGKILL);
    Wait();
    close(m_out);
}

std::optional<std::string> CChild::ReadLine()
{
    for (;;) {
        const auto newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        pollfd fd{m_out, POLLIN, 0};
        char chunk[4096];
        if (poll(&fd, 1, 60000) <= 0) // generous, also under the sanitizers
            return std::nullopt;
        const ssize_t got = read(m_out, chunk, sizeof chunk);
        if (got <= 0)
            return std::nullopt;
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::vector<std::string> CChild::ReadAllLines()
{
    std::vector<std::string> lines;
    while (auto line = ReadLine())
        lines.push_back(*line);
    return lines;
}

void CChild::Kill(int signal)
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

int CChild::Wait()
{
    int status = 0;
    if (m_pid <= 0 || waitpid(m_pid, &status, 0) < 0)
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<std::string> Difference(const utl::CPropSet& expected, const utl::CPropSet& actual)
{
    const auto a = expected.Snapshot(), b = actual.Snapshot();
    if (a.size() != b.size())
        return "property counts differ";
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string at = "property " + std::to_string(a[i].first);
        mem::PropSetVector xs, ys;
        if (a[i].first != b[i].first)
            return at + ": IDs differ";
        if (!a[i].second.Restore(xs)) {
            if (a[i].second != b[i].second)
                return at + ": values differ";
            continue;
        }
        if (!b[i].second.Restore(ys) || xs.size() != ys.size() || a[i].second.HasUnit() != b[i].second.HasUnit())
            return at + ": set vectors differ";
        for (std::size_t k = 0; k < xs.size(); ++k) {
            if (!xs[k] != !ys[k])
                return at + ": null vs not null";
            if (xs[k])
                if (auto diff = Difference(*xs[k], *ys[k]))
                    return at + "/" + *diff;
        }
    }
    return std::nullopt;
}

utl::PropSetPtr StoredSet(const std::string& file, const cfg::tSetKey& key)
{
    std::string error;
    auto store = cfg::CSqliteStore::Open(file, error);
    auto set = boost::make_shared<utl::CPropSet>();
    return store && store->Load(key, *set) ? set : nullptr;
}

void StoreSet(const std::string& file, const cfg::tSetKey& key, const utl::PropSetPtr& set)
{
    std::string error;
    auto store = cfg::CSqliteStore::Open(file, error);
    if (!store || !store->Save({{key, set}}))
        throw std::runtime_error("cannot store into " + file + ": " + error);
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
