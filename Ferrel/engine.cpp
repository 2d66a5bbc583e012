#include "Ferrel/engine.h"
#include "Ferrel/engine_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "Ferrel/local_files.h"
#include "Ferrel/seed_fetch.h"

namespace ferrel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSeedBytes = 64u << 20;
constexpr const char* kSeedCache = "seed.torrent";
// The cached seed's signature, checked again whenever the cache is used.
constexpr const char* kSeedSignatureCache = "seed.torrent.minisig";

constexpr std::size_t kMaxResumeBytes = 256u << 20;

// The folder without its trailing slashes ("/" stays "/"). A backslash is a
// character of the name.
std::string SavePath(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The path percent-escaped for a URL, "/" kept.
std::string EscapePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

lt::settings_pack SessionSettings(const EngineArguments& a) {
    lt::settings_pack s;
    const std::string ip = a.listenIp.empty() ? "0.0.0.0" : a.listenIp;
    s.set_str(lt::settings_pack::listen_interfaces, ip + ":" + std::to_string(a.localTcp));
    if (!a.listenIp.empty())
        s.set_str(lt::settings_pack::outgoing_interfaces, a.listenIp);
    s.set_int(lt::settings_pack::max_retry_port_bind, a.localTcp != 0 ? 100 : 0);
    s.set_bool(lt::settings_pack::listen_system_port_fallback, a.localTcp == 0);
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, !a.notUsingUpnp);
    s.set_bool(lt::settings_pack::enable_natpmp, !a.notUsingUpnp);
    // Peers that speak only TCP would otherwise wait for uTP to time out.
    s.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    s.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    s.set_int(lt::settings_pack::upload_rate_limit, static_cast<int>(a.uploadLimit));
    s.set_int(lt::settings_pack::download_rate_limit, static_cast<int>(a.downloadLimit));
    if (a.p2pUploadThread > 0)
        s.set_int(lt::settings_pack::unchoke_slots_limit, a.p2pUploadThread);
    s.set_int(lt::settings_pack::hashing_threads, 2);
    s.set_int(lt::settings_pack::stop_tracker_timeout, 2);
    s.set_int(
        lt::settings_pack::alert_mask,
        static_cast<int>(static_cast<std::uint32_t>(
            lt::alert_category::error | lt::alert_category::status | lt::alert_category::storage)));
    return s;
}

}  // namespace

Engine::Engine(EngineArguments args, vellum::IInteractive& channel, signing::TrustedKeys keys)
    : m_args(std::move(args)),
      m_channel(channel),
      m_keys(std::move(keys)),
      m_startPause(kFirstStartRetry) {
    m_status.userId = m_args.id;
}

Engine::~Engine() {
    m_cancel = true;
    if (m_fetch.valid())
        m_fetch.wait();
}

std::string Engine::InfoPath(const std::string& name) const {
    return m_args.dir + kInfoFolder + "/" + name;
}

void Engine::Send(const std::string& text) {
    m_channel.SendText(text);
}

void Engine::SetState(int state) {
    if (m_status.state == state)
        return;
    m_status.state = state;
    if (state == INIT_ERROR || state == GET_SEED_MD5_FAIL || state == DOWNLOAD_SEED_FILE_FAIL ||
        state == ANALYSIS_SEED_ERROR) {
        m_startRetryAt = Clock::now() + m_startPause;
        m_startPause = std::min<Clock::duration>(m_startPause * 2, kLastStartRetry);
    }
    Send(ReplyInt("P2PState", state));
}

void Engine::ReportError(const char* kind, int code, const std::string& file) {
    Send(ReplyText("Error", kind));
    Send(ReplyInt("ErrorCode", code));
    Send(ReplyText("ErrorFile", file));
    if (m_args.outInfoLevel > 0)
        std::fprintf(stderr, "Ferrel: %s failed (%d): %s\n", kind, code, file.c_str());
}

int Engine::Run(const std::atomic<bool>& stop) {
    Send(ReplyInt("P2PState", m_status.state));
    SetState(PARSE_PARA);
    while (!stop && HandleCommands()) {
        const int before = m_status.state;
        Step();
        // A step that moved on is followed by the next one at once: the way
        // from the arguments to the folder check is eight steps, each of
        // which would otherwise cost a tick. States that do not change wait.
        // While the seed or its digest is being fetched the tick ends when
        // the fetch does.
        const bool moved = m_status.state != before;
        if (m_session) {
            PostUpdates();
            HandleAlerts();
        }
        // Lines still coming in (a flood, or "quit" behind it) are read on
        // without the tick's wait; how many get answers stays per tick.
        if (moved || m_tookLines)
            continue;
        if (m_fetch.valid())
            m_fetch.wait_for(kTick);
        else if (m_session)
            m_session->wait_for_alert(kTick);
        else
            std::this_thread::sleep_for(kTick);
    }
    Watchdog watchdog(kQuitDeadline);
    Shutdown();
    return 0;
}

bool Engine::HandleCommands() {
    // A flood of requests must crowd out neither the work nor "quit": a few
    // are answered each tick, the rest only looked at for "quit", and what
    // is left waits for the next tick.
    const auto now = Clock::now();
    if (now >= m_answersRenewAt) {
        m_answersLeft = kAnswersPerTick;
        m_answersRenewAt = now + kTick;
    }
    std::string line, replies;
    int n = 0;
    for (; n < kLinesPerTick && m_channel.ReceiveLine(line); ++n) {
        if (IsQuit(line))
            return false;
        if (m_answersLeft > 0 && AnswerCommand(line, m_status, replies) == CommandKind::Answered)
            --m_answersLeft;
    }
    m_tookLines = n > 0;
    if (!replies.empty())
        Send(replies);
    return !m_channel.Closed();
}

void Engine::Step() {
    switch (m_status.state) {
        case PARSE_PARA:
            return StepParse();
        case INITING:
            return StepInit();
        case GET_SEED_MD5:
            return StepSeedMd5();
        case CHECK_SEED_FILE:
            return StepCheckSeed();
        case DOWNLOAD_SEED_FILE:
            return StepDownloadSeed();
        case ANALYSIS_SEED:
            return StepAnalyse();
        case CREATE_FILE:
            if (m_adding)
                return;
            if (!m_torrent.is_valid())
                return StepCreateFiles();
            return StepTorrent();
        case ALL_FILE_CHECK_MD5:
        case DOWNLOADING:
        case DOWNLOAD_COMPLETED:
            return StepTorrent();
        case INIT_ERROR:
        case GET_SEED_MD5_FAIL:
            if (m_torrent.is_valid())
                return StepTorrent();  // a download no source serves
            return StepRetryStart();
        case DOWNLOAD_SEED_FILE_FAIL:
        case ANALYSIS_SEED_ERROR:
            return StepRetryStart();
        default:
            return;  // bad arguments wait for "quit"
    }
}

void Engine::StepRetryStart() {
    if (Clock::now() < m_startRetryAt)
        return;
    // The seed is fetched again from its digest: it may have been published
    // anew meanwhile.
    SetState(m_status.state == INIT_ERROR ? INITING : GET_SEED_MD5);
}

void Engine::StepParse() {
    const bool ok = !m_args.dir.empty() && !m_args.torrent.empty() && !m_args.httpUrls.empty() &&
                    (!m_args.modeGiven || m_args.modeValid);
    if (!ok)
        return SetState(PARSE_PARA_ERROR);
    // A relative folder is taken from where the engine was started, once.
    std::error_code ec;
    const fs::path absolute = fs::absolute(m_args.dir, ec);
    if (!ec)
        m_args.dir = absolute.string();
    SetState(INITING);
}

void Engine::StepInit() {
    int error = 0;
    if (!OpenInfoFolder(m_args.dir, error)) {
        ReportError("OpenFile", error, m_args.dir + kInfoFolder);
        return SetState(INIT_ERROR);
    }
    if (m_session)
        return SetState(GET_SEED_MD5);
    try {
        // libtorrent's default storage writes and hashes on threads of its
        // own; its plain-file storage does both on the network thread, 16 KiB
        // at a time with an open and a close each, and then cannot keep up
        // with one web seed on loopback. See PrepareLocalFiles.
        lt::session_params params(SessionSettings(m_args));
        m_session = std::make_unique<lt::session>(std::move(params));
        // Rate limits hold for peers on the local network too.
        lt::ip_filter everyone;
        const std::uint32_t global =
            1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
        everyone.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
        everyone.add_rule(lt::make_address("::"),
                          lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
        m_session->set_peer_class_filter(everyone);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Ferrel: cannot start the session: %s\n", e.what());
        m_session.reset();
        return SetState(INIT_ERROR);
    }
    SetState(GET_SEED_MD5);
}

void Engine::StepSeedMd5() {
    if (!m_fetch.valid()) {
        m_fetch = std::async(std::launch::async, [this] {
            for (const std::string& base : m_args.httpUrls) {
                std::string body;
                if (!FetchUrl(JoinUrl(base, m_args.torrent + ".md5"), 4096, body, m_fetchError,
                              &m_cancel))
                    continue;
                m_fetched = ParseMd5Text(body);
                if (!m_fetched.empty())
                    return true;
                m_fetchError = JoinUrl(base, m_args.torrent + ".md5") + ": not an MD5 digest";
            }
            return false;
        });
        return;
    }
    if (m_fetch.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    if (!m_fetch.get()) {
        ReportError("DownloadTorrent", 0, m_fetchError);
        return SetState(GET_SEED_MD5_FAIL);
    }
    m_seedMd5 = m_fetched;
    SetState(CHECK_SEED_FILE);
}

void Engine::StepCheckSeed() {
    std::string cached, signature, why;
    if (ReadPlainFile(InfoPath(kSeedCache), kMaxSeedBytes, cached) && Md5Hex(cached) == m_seedMd5 &&
        (!m_keys.Enforced() ||
         (ReadPlainFile(InfoPath(kSeedSignatureCache), kMaxSignatureBytes, signature) &&
          SeedSignatureAccepted(m_keys, cached, signature, m_args.torrent, why)))) {
        m_seed = std::move(cached);
        return SetState(ANALYSIS_SEED);
    }
    SetState(DOWNLOAD_SEED_FILE);
}

void Engine::StepDownloadSeed() {
    if (!m_fetch.valid()) {
        m_fetch = std::async(std::launch::async, [this] {
            for (const std::string& base : m_args.httpUrls) {
                const std::string url = JoinUrl(base, m_args.torrent);
                std::string body;
                if (!FetchUrl(url, kMaxSeedBytes, body, m_fetchError, &m_cancel))
                    continue;
                if (Md5Hex(body) == m_seedMd5) {
                    // Nothing of a seed without a good signature is kept.
                    std::string signature, missing;
                    if (m_keys.Enforced() && !FetchUrl(url + kSignatureSuffix, kMaxSignatureBytes,
                                                       signature, missing, &m_cancel))
                        signature.clear();
                    if (!SeedSignatureAccepted(m_keys, body, signature, url, m_fetchError))
                        continue;
                    m_fetched = std::move(body);
                    m_fetchedSignature = std::move(signature);
                    return true;
                }
                m_fetchError = url + ": MD5 digest differs from the published one";
            }
            return false;
        });
        return;
    }
    if (m_fetch.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    if (!m_fetch.get()) {
        ReportError("DownloadSeed", 0, m_fetchError);
        return SetState(DOWNLOAD_SEED_FILE_FAIL);
    }
    m_seed = std::move(m_fetched);
    // A cache that cannot be written only costs a download next time.
    WriteAtomically(InfoPath(kSeedCache), m_seed.data(), m_seed.size());
    if (m_keys.Enforced())
        WriteAtomically(InfoPath(kSeedSignatureCache), m_fetchedSignature.data(),
                        m_fetchedSignature.size());
    SetState(ANALYSIS_SEED);
}

void Engine::StepAnalyse() {
    std::string error;
    lt::error_code ec;
    auto info = std::make_shared<lt::torrent_info>(lt::span<const char>(m_seed), ec, lt::from_span);
    if (ec || !ReadSeedLayout(m_seed, kInfoFolder, m_layout, error)) {
        ReportError("ReadSeed", ec ? ec.value() : 0, ec ? ec.message() : error);
        return SetState(ANALYSIS_SEED_ERROR);
    }
    if (info->num_files() != static_cast<int>(m_layout.files.size()) ||
        !StaysInside(m_args.dir, m_layout, error)) {
        ReportError("ReadSeed", 0, error.empty() ? "file list differs" : error);
        return SetState(ANALYSIS_SEED_ERROR);
    }
    // Every file goes exactly where the checked layout says: directly in the
    // client folder, without the torrent's own top folder.
    for (std::size_t i = 0; i < m_layout.files.size(); ++i)
        if (!m_layout.files[i].pad)
            info->rename_file(lt::file_index_t(static_cast<int>(i)), m_layout.files[i].path);
    m_info = std::move(info);
    m_seedBytes = 0;
    for (const SeedFile& f : m_layout.files)
        if (!f.pad)
            m_seedBytes += static_cast<std::uint64_t>(f.size);
    m_status.totalBytes = m_seedBytes;
    m_status.incompleteBytes = m_status.totalBytes;
    m_startPause = kFirstStartRetry;
    m_status.firstFileName = m_layout.files.empty() ? "" : m_layout.files[0].path;
    m_status.seedKnown = true;
    SetState(CREATE_FILE);
}

bool Engine::LoadResume(lt::add_torrent_params& atp) {
    std::string resume;
    if (!ReadPlainFile(InfoPath(kResumeFile), kMaxResumeBytes, resume))
        return false;
    // A repair checks every file on its first start; a restart of the same
    // repair trusts the resume data as long as no file has changed since it
    // was saved.
    if (m_args.mode == EngineMode::Repair) {
        std::string stamps;
        if (!ReadPlainFile(InfoPath(kStampsFile), kMaxResumeBytes, stamps) ||
            stamps != Md5Hex(resume) + "\n" + FileStamps(m_args.dir, m_layout))
            return false;
    }
    lt::error_code ec;
    lt::add_torrent_params saved = lt::read_resume_data(resume, ec);
    if (ec || saved.info_hashes != m_info->info_hashes())
        return false;
    atp = std::move(saved);
    return true;
}

void Engine::StepCreateFiles() {
    if (Clock::now() < m_retryAt)
        return;
    LocalFileProblem problem;
    if (!PrepareLocalFiles(m_args.dir, m_layout, problem)) {
        // Reported again on every try until it is gone.
        ReportError(problem.kind, problem.error, problem.path);
        m_retryAt = Clock::now() + std::chrono::seconds(2);
        return;
    }
    lt::add_torrent_params atp;
    LoadResume(atp);
    // The stamps speak for this resume data only until the torrent runs.
    std::remove(InfoPath(kStampsFile).c_str());
    atp.renamed_files.clear();
    // Web seeds: the given addresses first, then the seed's own, at most
    // HttpThread of them.
    std::vector<std::string> seeds;
    std::set<std::string> seen;
    for (const std::string& base : m_args.httpUrls)
        if (seen.insert(JoinUrl(base, "")).second)
            seeds.push_back(JoinUrl(base, ""));
    for (const lt::web_seed_entry& w : m_info->web_seeds())
        if (w.type == lt::web_seed_entry::url_seed && seen.insert(w.url).second)
            seeds.push_back(w.url);
    if (m_args.httpThread >= 0 && seeds.size() > static_cast<std::size_t>(m_args.httpThread))
        seeds.resize(static_cast<std::size_t>(m_args.httpThread));
    // With a single file libtorrent asks a folder address for the torrent's
    // name instead of the file's path; such a seed gets the file's own
    // address.
    if (m_info->num_files() == 1)
        for (std::string& url : seeds)
            if (!url.empty() && url.back() == '/')
                url += EscapePath(m_info->orig_files().file_path(lt::file_index_t(0)));
    // libtorrent's own HTTP parser is never exposed to a web seed: a body
    // longer than asked or a chunk size beyond any file held it for good.
    if (!m_relay.Start())
        std::fprintf(stderr, "Ferrel: no loopback relay; web seeds are reached directly\n");
    for (std::string& url : seeds)
        url = m_relay.Relayed(url);
    m_info->set_web_seeds({});
    atp.url_seeds = seeds;
    m_webSeeds = seeds;
    atp.ti = m_info;
    atp.save_path = SavePath(m_args.dir);
    atp.flags &= ~(lt::torrent_flags::auto_managed | lt::torrent_flags::paused);
    atp.flags |= lt::torrent_flags::update_subscribe;
    // Added on libtorrent's own thread; the alert says how it went.
    m_session->async_add_torrent(std::move(atp));
    m_adding = true;
}

}  // namespace ferrel
