// The text-only part of keeping pool files inside the owner's pool folder: what a path names
// beneath the folder, by the rules of one system's paths, before any file is touched.
#ifndef QUILLSTORE_POOL_POOL_FOLDER_H
#define QUILLSTORE_POOL_POOL_FOLDER_H

#include <string>
#include <string_view>
#include <vector>

// Whose path rules BeneathPoolFolder applies; both are available on every system, so that each
// is tested everywhere.
enum class EPathRules { Posix, Windows };

// True iff svPath, taken against the working folder svCwd (absolute, as the system gives it),
// names something strictly beneath the folder svRoot (absolute, links in it resolved); then
// vecParts holds the path's components beneath the root, with "." taken out and ".." applied
// (a ".." may not climb above svCwd's root of the file system). Refuses an absolute path, an
// empty one and one holding a zero byte. ".." is applied to the text as written: a link before
// it is not followed first, so "link/../x" names the root's "x" whatever the link leads to.
// Under Windows rules: '\\' and '/' both separate, names compare without ASCII case, and a
// drive ("C:x", "C:\\x"), a UNC or device prefix ("\\\\server\\share", "\\\\?\\", "\\\\.\\"), a
// ':' anywhere (alternate data streams), a component ending in '.' or ' ', a byte no Windows
// name may hold (below 0x20, '<', '>', '"', '|', '?', '*'), and a reserved device name (CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9 and COM or LPT with a superscript digit, with
// any extension or trailing spaces, in any folder) are all refused. On false vecParts is empty.
// Throws std::bad_alloc.
bool BeneathPoolFolder(std::string_view svPath, std::string_view svCwd, std::string_view svRoot,
                       EPathRules eRules, std::vector<std::string>& vecParts);

#endif
