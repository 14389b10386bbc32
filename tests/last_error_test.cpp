// A pool's LastError for each way a load or save is refused by what the path names, and its
// clearing by the next success. A failure of each call a save or load makes (a write, a put in
// place the system stops half-way) is failed in turn, with its line checked, in failed_calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool/hash_pool.h"
#include "tests/support/failing_env.h"
#include "tests/support/files.h"

namespace {

enum class EOp { Load, Save };

enum class EPath {
    None,
    Missing,
    Folder,
    FolderWithSeparator,
    // A pool file holding one entry.
    OldFile,
    Device,
    // A file in a folder that does not exist, below another that does not.
    MissingFolder,
};

// What the failing Env plays: nothing, a read-only file, or a folder that takes no new files.
enum class EPlay { Nothing, ReadOnly, ClosedFolder };

struct Refusal {
    const char* pszCase;
    EOp eOp;
    EPath ePath;
    EPlay ePlay;
    // The line, with PATH for the bound path; the system's words after it are compared only
    // where every system words them alike.
    const char* pszError;
    bool bWithWords;
};

std::ostream& operator<<(std::ostream& os, const Refusal& refusal) { return os << refusal.pszCase; }

const Refusal REFUSALS[] = {
    {"load of no file", EOp::Load, EPath::None, EPlay::Nothing,
     "load \"\": no file is bound to the pool", true},
    {"load of a missing file", EOp::Load, EPath::Missing, EPlay::Nothing,
     "load \"PATH\": the file does not exist (No such file or directory)", true},
    {"load of a folder", EOp::Load, EPath::Folder, EPlay::Nothing,
     "load \"PATH\": it is a folder, not a file", true},
    {"load from a missing folder", EOp::Load, EPath::MissingFolder, EPlay::Nothing,
     "load \"PATH\": the folder \"FOLDER\" does not exist", true},
    {"save to no file", EOp::Save, EPath::None, EPlay::Nothing,
     "save \"\": no file is bound to the pool", true},
    {"save to a folder", EOp::Save, EPath::Folder, EPlay::Nothing,
     "save \"PATH\": it is a folder, not a file", true},
    {"save to a folder named with its separator", EOp::Save, EPath::FolderWithSeparator,
     EPlay::Nothing, "save \"PATH\": it is a folder, not a file", true},
    {"save into a missing folder", EOp::Save, EPath::MissingFolder, EPlay::Nothing,
     "save \"PATH\": the folder \"FOLDER\" does not exist", true},
    {"save to a read-only file", EOp::Save, EPath::OldFile, EPlay::ReadOnly,
     "save \"PATH\": the file is read-only", true},
    {"save of a new file in a folder that takes none", EOp::Save, EPath::Missing,
     EPlay::ClosedFolder, "save \"PATH\": the folder takes no new files", false},
#ifndef _WIN32
    {"save to a device that takes nothing", EOp::Save, EPath::Device, EPlay::Nothing,
     "save \"PATH\": the device takes no more (No space left on device)", true},
#endif
};

constexpr char OLD_BYTES[] = "old\n1\n";

std::string PathFor(EPath ePath, const CTempDir& dir) {
    switch (ePath) {
        case EPath::None:
            return "";
        case EPath::Folder:
            return dir.Path();
        case EPath::FolderWithSeparator:
            return dir.Path() + "/";
        case EPath::Device:
            return "/dev/full";
        case EPath::MissingFolder:
            return dir.File("nodir/sub/p.pool");
        case EPath::Missing:
        case EPath::OldFile:
            break;
    }
    return dir.File("p.pool");
}

class RefusedLoadsAndSaves : public ::testing::TestWithParam<Refusal> {};

// The refusal is named, stays until the next load or save, changes no file, and the next load
// or save that succeeds clears it.
TEST_P(RefusedLoadsAndSaves, NameTheirCauseUntilTheNextSuccess) {
    const Refusal& refusal = GetParam();
    CTempDir dir;
    const std::string strPath = PathFor(refusal.ePath, dir);
    if (refusal.ePath == EPath::OldFile) {
        ASSERT_TRUE(WriteWholeFile(strPath, OLD_BYTES));
    }
    const std::vector<std::string> aBefore = ListDir(dir.Path());
    CFailingEnv env;
    env.ReportReadOnly(refusal.ePlay == EPlay::ReadOnly);
    env.RefuseNewFiles(refusal.ePlay == EPlay::ClosedFolder);
    CHashPool pool("p");
    pool.Add("k", "v");
    EXPECT_EQ(pool.LastError(), "");
    if (refusal.ePath != EPath::None) pool.SetFile(strPath.c_str());

    EXPECT_FALSE(refusal.eOp == EOp::Load ? pool.Load(env) : pool.Save(env));
    std::string strExpected = refusal.pszError;
    if (const size_t uiAt = strExpected.find("PATH"); uiAt != std::string::npos) {
        strExpected.replace(uiAt, 4, strPath);
    }
    if (const size_t uiAt = strExpected.find("FOLDER"); uiAt != std::string::npos) {
        strExpected.replace(uiAt, 6, dir.File("nodir/sub"));
    }
    const std::string strError = pool.LastError();
    EXPECT_EQ(refusal.bWithWords ? strError : strError.substr(0, strError.find(" (")), strExpected);
    EXPECT_EQ(pool.LastError(), strError) << "read again";
    EXPECT_EQ(ListDir(dir.Path()), aBefore);
    if (refusal.ePath == EPath::OldFile) {
        EXPECT_EQ(FileBytes(strPath), OLD_BYTES);
    }

    const std::string strGood = dir.File("good.pool");
    ASSERT_TRUE(WriteWholeFile(strGood, OLD_BYTES));
    pool.SetFile(strGood.c_str());
    EXPECT_TRUE(refusal.eOp == EOp::Load ? pool.Load() : pool.Save()) << pool.LastError();
    EXPECT_EQ(pool.LastError(), "");
}

INSTANTIATE_TEST_SUITE_P(EachCause, RefusedLoadsAndSaves, ::testing::ValuesIn(REFUSALS));

// A folder that takes no new files still lets a save rewrite the file already there in place.
TEST(LastError, ClosedFolderRewritesAnExistingFileInPlace) {
    CTempDir dir;
    const std::string strPath = dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strPath, OLD_BYTES));
    CHashPool pool("p");
    pool.Add("k", "new");
    pool.SetFile(strPath.c_str());
    CFailingEnv closed;
    closed.RefuseNewFiles(true);
    EXPECT_TRUE(pool.Save(closed)) << pool.LastError();
    EXPECT_EQ(pool.LastError(), "");
    EXPECT_EQ(FileBytes(strPath), "k\nnew\n");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"p.pool"});
}

}  // namespace
