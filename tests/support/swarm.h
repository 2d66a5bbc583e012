// A private BitTorrent swarm on loopback for tests: opentracker with a
// whitelist and one aria2c seeder per torrent, through tests/support/swarm.sh.
#pragma once

#include <string>

namespace testing_support {

class Swarm {
  public:
    // Starts the tracker; it stops with the object, or with this process.
    Swarm();
    ~Swarm();
    Swarm(const Swarm&) = delete;
    Swarm& operator=(const Swarm&) = delete;

    bool started() const { return port_ > 0; }
    // The tracker's announce address.
    std::string Announce() const;
    // Whitelists the torrent and seeds it from dataDir (the folder holding
    // its file) once the tracker lists the seeder. False on failure, with
    // the helper's output in error.
    bool Seed(const std::string& torrentFile, const std::string& dataDir, std::string& error);
    // Whitelists the torrent without anybody seeding it.
    bool Track(const std::string& torrentFile, std::string& error);

  private:
    std::string state_;
    int port_ = 0;
};

// `zrpatch torrent FILE --tracker ANNOUNCE -o OUT`; empty on success,
// zrpatch's error output otherwise.
std::string MakeTorrent(const std::string& zrpatch, const std::string& file,
                        const std::string& announce, const std::string& out);

}  // namespace testing_support
