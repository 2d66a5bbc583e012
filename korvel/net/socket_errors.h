// Socket error codes and their texts.
//
// Errors are kept as the classic socket-layer codes (10000 + the BSD error
// number, 11001-11004 for name resolution), so that users and support see
// the same texts whatever the platform.
#pragma once

#include <string>

namespace NetModel {

// The code for a POSIX error number; unknown numbers are passed through.
int SocketErrorFromErrno(int err);
// The code for a getaddrinfo() result (EAI_*).
int SocketErrorFromResolver(int eaiCode);

// The thread's last socket error code, as the failing call left it.
int LastSocketError();
void SetLastSocketError(int code);

// The text for a code; "Err code: N" for codes without a text of their own.
std::string SocketErrorText(int code);

}  // namespace NetModel
