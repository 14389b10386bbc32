// An Env that keeps every file it touches inside one folder, the owner's pool folder: what a
// script names can neither leave it by "..", an absolute path or a link, nor reach a device.
#ifndef QUILLSTORE_POOL_CONFINED_ENV_H
#define QUILLSTORE_POOL_CONFINED_ENV_H

#include <memory>

#include "pool/env.h"

// Makes, in pEnv, an Env on the system's own whose paths (taken, as the system's are, against
// the working folder) must name a file beneath the folder pszRoot; any other path fails every
// call with ECode::Outside and touches nothing. pszRoot is found once, now, links in it
// followed. Fails, with pEnv empty, when pszRoot is not a folder that can be opened.
CStatus NewConfinedEnv(const char* pszRoot, std::unique_ptr<CEnv>& pEnv);

#endif
