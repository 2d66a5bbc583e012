// Running a downloaded expansion installer.
#pragma once

#include <string>

class ExpansionWindow;

// Starts the installer at installerPath by its path alone (it becomes
// executable for its owner first), in workDir, with our environment, and
// waits for it without a time limit while the window shows that it runs.
// True when it ran and shapeFilePath exists afterwards.
bool RunInstaller(ExpansionWindow& window, const std::string& workDir,
                  const std::string& installerPath, const std::string& shapeFilePath);

// The starting and waiting alone (on the calling thread): false when the
// installer could not be made executable or started, or the wait failed.
bool StartAndWaitForInstaller(const std::string& workDir, const std::string& installerPath);

// The reminder for old consumer Windows systems, naming the installer with
// backslashes ("\\\\" and "//" become one, every "/" one too), cut to 1023
// bytes.
std::string Win9xReminderText(const std::string& installerPath);
