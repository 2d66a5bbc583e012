// Removal of crash dumps from the repair folder.
#pragma once

namespace vellum {

// Deletes the regular files directly in folder (the current directory when
// null) whose names are longer than ".dmp" and end in ".dmp", letter case
// counting. Folders, links and files in subfolders stay; failures are
// ignored, and the current directory is left as it was.
void CleanDumpFiles(const char* folder);

}  // namespace vellum
