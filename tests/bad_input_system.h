// What the bad-input tests take from the system they run on: the rule that says whether a save
// can put its file in place, the odd files only that system can make, and how a scenario on an
// odd file is run so that one that blocks cannot hang the suite.
#ifndef QUILLSTORE_TESTS_BAD_INPUT_SYSTEM_H
#define QUILLSTORE_TESTS_BAD_INPUT_SYSTEM_H

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace bad_input {

// What a save must do, from the path as it stands: true iff the pool file can be written.
bool SaveSucceeds(const std::string& strPath);

// One odd pool file: how it is made, and whether the scenario must run as an ordinary user.
struct FileRow {
    FileRow(std::string strRowName, std::function<bool(const std::string&)> fnMake,
            bool bOtherUser = false, std::string strFixed = "")
        : strName(std::move(strRowName)),
          make(std::move(fnMake)),
          bAsOtherUser(bOtherUser),
          strFixedPath(std::move(strFixed)) {}

    std::string strName;
    std::function<bool(const std::string& strPath)> make;
    bool bAsOtherUser;
    // A path outside the test's directory, used instead of the one made there.
    std::string strFixedPath;
};

inline std::ostream& operator<<(std::ostream& os, const FileRow& row) { return os << row.strName; }

// Files that are no regular files, or that the scenario's user may not read or write.
std::vector<FileRow> SystemFileRows();

// Runs the scenario and returns its status (0 when every step held): where the system can fork,
// in a child under the watchdog, as an ordinary user if asked.
int RunScenario(const std::function<int()>& fn, bool bAsOtherUser);

}  // namespace bad_input

#endif
