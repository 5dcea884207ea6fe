// Checking a patch with the product's own engine: the container is applied
// to a temporary copy of OLD and the result compared with NEW.
#pragma once

#include <string>

struct VerifyResult {
  bool reproduced = false;       // the copy equals NEW byte for byte
  bool engineSucceeded = false;  // the run ended in success
  bool alreadyPatched = false;   // the engine took OLD for patched
  std::string engineMessages;    // what the engine reported, as UTF-8-ish text
};

// False (with error) only when the check itself cannot be carried out; the
// verdict is in result. directory receives the temporary copy.
bool verifyPatch(const std::string& patchPath, const std::string& oldPath,
                 const std::string& newPath, const std::string& directory,
                 VerifyResult* result, std::string* error);

// The same through a path the engine accepts: a narrow path decoded the way
// the patcher decodes its command line.
std::wstring enginePath(const std::string& path);
