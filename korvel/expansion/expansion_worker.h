// Expansion-pack mode: the worker that finds the first missing pack and
// downloads its installer, and the window's end of the run that checks the
// installer, runs it and confirms the installation.
#pragma once

#include <string>

class ExpansionWindow;

// The digest listed for key in an expansion list: whitespace-separated words
// read in pairs (key, digest); the first pair whose key equals key exactly
// wins. Empty when key is not listed (the last key of an odd list has an
// empty digest).
std::string ExpansionListDigest(const std::string& list, const std::string& key);

// Whether the setting EXPDTYPE selects the BitTorrent download: only "1".
bool IsTorrentDownloadType(const std::string& value);

// Thread procedure: 1 when nothing was started (no window, nothing to
// install, no update list), 0 after a download was run. The window hears of
// the end of the download through WM_EXPANSION_DONE, or of the end of the
// run through WM_FINISH.
int ExpansionWorker(ExpansionWindow* window);

// The window's handling of WM_EXPANSION_DONE (window thread).
void OnExpansionDone(ExpansionWindow& window);
