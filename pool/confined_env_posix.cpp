// Placeholder until the confined Env of this system is written: every root is refused.
#include "pool/confined_env.h"

CStatus NewConfinedEnv(const char*, std::unique_ptr<CEnv>& pEnv) {
    pEnv.reset();
    return CStatus::Error(CStatus::ECode::Failed);
}
