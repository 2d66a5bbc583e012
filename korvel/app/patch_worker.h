// The thread that drives a patch update: version check, update list, and the
// downloads of every newer patch, one after the other.
#pragma once

#include <string>

class CkorvelDlg;

// Address of the manual-update guide on the game's web site.
std::string ManualGuideUrl();

// Thread procedure; with a null window it only looks up the DNS servers.
void PatchWorker(CkorvelDlg* window);
