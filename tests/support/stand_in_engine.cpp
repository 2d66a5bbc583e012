// A stand-in for the repair tool's download engine, for tests. It reads its
// arguments as the engine does, connects to the tool's channel on
// 127.0.0.1:<InteractivePort> (or uses its console without that argument),
// answers the tool's commands with the engine's reply lines, and behaves as
// its script says.
//
// Environment:
//   STAND_IN_LOG      folder; "argv" gets the arguments (one per line, the
//                     program path left out), "fds" the files open at start
//                     ("<fd> <what it is>" per line), "commands" every
//                     command line received, as it comes.
//   STAND_IN_SCRIPT   steps separated by ";" or line feeds, run in order:
//                       state N          P2PState N, sent at once
//                       verify F         VerifyPercentage F, sent at once
//                       percent P        Percentage for the stat answers
//                       ramp percent|verify TO MS
//                                        moves that value to TO over MS
//                                        milliseconds (VerifyPercentage is
//                                        sent at every step)
//                       file NAME        the answer to "get qf 0" (":" before)
//                       total N          TotalByte (1000000 before)
//                       rate DOWN UP     the band widths in KB/s
//                       error KIND       sends Error=KIND
//                       wait MS          keeps answering for MS milliseconds
//                       exit [CODE]      ends at once
//                     After the last step it keeps answering, with values
//                     frozen, until "quit" or the channel closes.
//   STAND_IN_LIFETIME_MS  ends after this long in any case (60000).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/channel/console_interactive.h"
#include "common/channel/network_interactive.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(50);

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

const char* Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// Keys ("-" and at least one more character, folded to lower case) with
// the values that follow them; a key without values is a flag.
std::map<std::string, std::vector<std::string>> ReadArguments(int argc, char** argv) {
    std::map<std::string, std::vector<std::string>> keys;
    std::string key;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() >= 2 && a[0] == '-') {
            key = Lower(a.substr(1));
            keys[key];
        } else if (!key.empty()) {
            keys[key].push_back(a);
        }
    }
    return keys;
}

std::vector<std::vector<std::string>> ReadScript(const std::string& text) {
    std::vector<std::vector<std::string>> steps;
    std::string step;
    std::istringstream in(text);
    while (std::getline(in, step, ';')) {
        std::istringstream lines(step);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::vector<std::string> tokens;
            for (std::string w; words >> w;)
                tokens.push_back(w);
            if (!tokens.empty())
                steps.push_back(tokens);
        }
    }
    return steps;
}

class StandIn {
  public:
    StandIn(std::unique_ptr<vellum::IInteractive> channel, std::string logDir)
        : m_channel(std::move(channel)), m_logDir(std::move(logDir)) {}

    // Answers what came in for the length of one tick. False when it is to
    // end: after "quit", or once the tool has closed the channel.
    bool Tick() {
        std::string command;
        while (m_channel->ReceiveLine(command)) {
            if (!command.empty() && command.back() == '\r')
                command.pop_back();
            Log(command);
            if (command == "quit")
                return false;
            Answer(command);
        }
        const auto* network = dynamic_cast<vellum::NetworkInteractive*>(m_channel.get());
        if (network != nullptr && network->PeerClosed())
            return false;
        std::this_thread::sleep_for(kTick);
        return true;
    }

    // Runs one step; false when the step ends the program.
    bool Run(const std::vector<std::string>& step, int& exitCode) {
        const std::string& verb = step[0];
        const auto arg = [&](std::size_t i) { return i < step.size() ? step[i] : std::string(); };
        if (verb == "state") {
            m_state = std::atoi(arg(1).c_str());
            Send("P2PState", std::to_string(m_state));
        } else if (verb == "verify") {
            m_verify = std::atof(arg(1).c_str());
            SendFloat("VerifyPercentage", m_verify);
        } else if (verb == "percent") {
            m_percent = std::atof(arg(1).c_str());
        } else if (verb == "ramp") {
            return Ramp(arg(1) == "verify", std::atof(arg(2).c_str()), std::atoi(arg(3).c_str()));
        } else if (verb == "file") {
            m_fileName = arg(1);
        } else if (verb == "total") {
            m_total = std::strtoull(arg(1).c_str(), nullptr, 10);
        } else if (verb == "rate") {
            m_down = std::atof(arg(1).c_str());
            m_up = std::atof(arg(2).c_str());
        } else if (verb == "error") {
            Send("Error", arg(1));
        } else if (verb == "wait") {
            const auto until = Clock::now() + std::chrono::milliseconds(std::atoi(arg(1).c_str()));
            while (Clock::now() < until)
                if (!Tick())
                    return false;
        } else if (verb == "exit") {
            exitCode = std::atoi(arg(1).c_str());
            return false;
        } else {
            std::fprintf(stderr, "stand-in engine: unknown step %s\n", verb.c_str());
        }
        return true;
    }

  private:
    bool Ramp(bool verify, double to, int ms) {
        double& value = verify ? m_verify : m_percent;
        const double from = value;
        const int steps = std::max(1, ms / static_cast<int>(kTick.count()));
        for (int i = 1; i <= steps; ++i) {
            value = from + (to - from) * i / steps;
            if (verify)
                SendFloat("VerifyPercentage", value);
            if (!Tick())
                return false;
        }
        return true;
    }

    void Answer(const std::string& command) {
        if (command == "stat") {
            const auto incomplete = static_cast<unsigned long long>(static_cast<double>(m_total) *
                                                                    (100 - m_percent) / 100);
            Send("UserId", "stand-in");
            Send("P2PState", std::to_string(m_state));
            SendFloat("Percentage", m_percent);
            SendFloat("PercentageDownloaded", m_percent);
            SendFloat("CurUpdatePercentage", m_percent);
            Send("IncompleteByte", std::to_string(incomplete));
            SendFloat("UploadBandWidth", m_up);
            SendFloat("DownloadBandWidth", m_down);
            Send("UploadUserNum", "0");
            Send("DownloadUserNum", m_down > 0 ? "1" : "0");
            Send("ConnectNum", m_down > 0 ? "1" : "0");
        } else if (command == "get tb") {
            Send("TotalByte", std::to_string(m_total));
        } else if (command == "get qf 0") {
            Send("FileName", m_fileName);
        }
    }

    void Send(const char* key, const std::string& value) {
        m_channel->SendText(std::string("[Interactive]") + key + "=" + value + "\n");
    }
    void SendFloat(const char* key, double value) {
        char text[64];
        std::snprintf(text, sizeof text, "%f", value);
        Send(key, text);
    }

    void Log(const std::string& command) {
        if (m_logDir.empty())
            return;
        std::ofstream(m_logDir + "/commands", std::ios::app) << command << '\n';
    }

    std::unique_ptr<vellum::IInteractive> m_channel;
    std::string m_logDir;
    int m_state = 0;
    double m_percent = 0;
    double m_verify = 0;
    double m_down = 0;
    double m_up = 0;
    unsigned long long m_total = 1000000;
    std::string m_fileName = ":";
};

// The files this process was started with, as /proc tells them.
void LogOpenFiles(const std::string& path) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return;
    std::vector<std::string> lines;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::atoi(name.c_str()) == ::dirfd(dir))
            continue;
        char target[512] = {};
        const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        lines.push_back(name + " " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0));
    }
    ::closedir(dir);
    std::sort(lines.begin(), lines.end());
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : lines)
        out << line << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    const std::string logDir = Env("STAND_IN_LOG", "");
    if (!logDir.empty()) {
        std::ofstream out(logDir + "/argv", std::ios::trunc);
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        out.close();
        LogOpenFiles(logDir + "/fds");
    }

    const auto keys = ReadArguments(argc, argv);
    const auto port = keys.find("interactiveport");
    std::unique_ptr<vellum::IInteractive> channel;
    if (port != keys.end() && !port->second.empty())
        channel = std::make_unique<vellum::NetworkInteractive>(
            static_cast<std::uint16_t>(std::atoi(port->second.front().c_str())));
    else
        channel = std::make_unique<vellum::ConsoleInteractive>(false);
    if (!channel->Start()) {
        std::fprintf(stderr, "stand-in engine: no channel\n");
        return 3;
    }

    StandIn engine(std::move(channel), logDir);
    const auto end =
        Clock::now() + std::chrono::milliseconds(std::atoi(Env("STAND_IN_LIFETIME_MS", "60000")));
    int exitCode = 0;
    for (const auto& step : ReadScript(Env("STAND_IN_SCRIPT", "")))
        if (!engine.Run(step, exitCode) || Clock::now() >= end)
            return exitCode;
    while (Clock::now() < end && engine.Tick()) {
    }
    return 0;
}
