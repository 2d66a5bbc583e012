// zrpatch's publisher-signature commands: keygen, sign and verify, with
// keys and signatures in minisign's formats.
#pragma once

namespace zrpatch::cli {

int CmdKeygen(int argc, char** argv);
int CmdSign(int argc, char** argv);
int CmdVerify(int argc, char** argv);

}  // namespace zrpatch::cli
