// Where the module finds the owner's settings file: the path in QUILLSTORE_CONF, or
// quillstore.conf beside the module file itself. One source per system finds them
// (settings_place_posix.cpp, settings_place_windows.cpp).
#ifndef QUILLSTORE_PLUGIN_SETTINGS_PLACE_H
#define QUILLSTORE_PLUGIN_SETTINGS_PLACE_H

#include <string>

namespace quill {

constexpr char SETTINGS_VARIABLE[] = "QUILLSTORE_CONF";
constexpr char SETTINGS_FILE_NAME[] = "quillstore.conf";

struct SettingsPlace {
    enum class EFrom {
        // No variable, and the code is no module file (it is linked into a program).
        Nowhere,
        // QUILLSTORE_CONF names the file: it must exist.
        Variable,
        // quillstore.conf beside the module: used when it exists.
        BesideModule,
        // The place cannot be told to the file seam; strProblem says why.
        Problem,
    };
    EFrom eFrom = EFrom::Nowhere;
    // The path for the Env, and how lines name the file: what the owner wrote, never more.
    std::string strPath;
    std::string strName;
    std::string strProblem;
};

// Where the settings of this load are. Throws std::bad_alloc.
SettingsPlace FindSettingsPlace();

}  // namespace quill

#endif
