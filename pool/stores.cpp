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

// Constant-initialised: no guard and no order to get wrong.
constinit CFilesOnly s_FilesOnly;
constinit IStoreChooser* s_pChooser = nullptr;

}  // namespace

IStoreChooser& quill::PoolStores() { return s_pChooser != nullptr ? *s_pChooser : s_FilesOnly; }

void quill::InstallPoolStores(IStoreChooser* pChooser) { s_pChooser = pChooser; }
