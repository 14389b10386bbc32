// The chooser of stores the pools use: the file store on the system's Env until the owner's
// settings install another.
#include "pool/file_store.h"
#include "pool/store.h"

namespace {

class CFilesOnly final : public IStoreChooser {
   public:
    CStore& For(const char*) override { return m_Store; }

   private:
    CFileStore m_Store;
};

// Made before any code of the module runs (no function-local static: its guard would need a
// newer C library); nothing calls PoolStores while statics are being made.
CFilesOnly s_FilesOnly;
constinit IStoreChooser* s_pChooser = nullptr;

}  // namespace

IStoreChooser& quill::PoolStores() { return s_pChooser != nullptr ? *s_pChooser : s_FilesOnly; }

void quill::InstallPoolStores(IStoreChooser* pChooser) { s_pChooser = pChooser; }
