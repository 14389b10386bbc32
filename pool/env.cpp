// The parts of the Env that every system shares: the status's text and whole-file reading.
#include "pool/env.h"

#include <memory>

#include "pool/file_env.h"

// A failure's phrase without the system's words.
static const char* WhatOf(CStatus::EStep eStep, CStatus::ECode eCode) {
    using ECode = CStatus::ECode;
    using EStep = CStatus::EStep;
    switch (eCode) {
        case ECode::Ok:
            return "";
        case ECode::Folder:
            return "it is a folder, not a file";
        case ECode::Device:
            return "it is a device, not a file";
        case ECode::Pipe:
            return "it is a pipe, not a file";
        case ECode::NotAFile:
            if (eStep == EStep::DeviceWrite) break;
            return "it is not a file";
        case ECode::NoMemory:
            return "not enough memory";
        case ECode::ReadOnly:
            return "the file is read-only";
        case ECode::Unbound:
            return "no file is bound to the pool";
        case ECode::NoFolder:
            return "the folder does not exist";
        case ECode::Outside:
            return "outside the pool folder";
        case ECode::Settings:
            return "the settings have an error";
        case ECode::Remote:
            return "the store failed";
        default:
            break;
    }
    switch (eStep) {
        case EStep::None:
        case EStep::Bind:
            return "it failed";
        case EStep::Open:
            return eCode == ECode::NotFound ? "the file does not exist"
                                            : "the file cannot be opened";
        case EStep::Read:
            return "the file cannot be read";
        case EStep::Resolve:
            return "the path cannot be resolved";
        case EStep::Create:
            return eCode == ECode::Denied ? "the folder takes no new files"
                                          : "the new file cannot be made";
        case EStep::TakeOver:
            return "the new file cannot take the old one's owner and mode";
        case EStep::Write:
            return "the new file cannot be written";
        case EStep::Sync:
            return "the new file cannot be made durable";
        case EStep::PutInPlace:
            return "the new file cannot be put in place";
        case EStep::Rewrite:
            return "the file cannot be rewritten in place";
        case EStep::DeviceWrite:
            return "the device takes no more";
    }
    return "it failed";
}

std::string CStatus::ToString() const {
    std::string strText = WhatOf(m_eStep, m_eCode);
    const std::string strWords = SystemWords(m_iSystem);
    if (!strWords.empty()) strText += " (" + strWords + ")";
    return strText;
}

CStatus ReadRest(CSequentialFile& file, std::string& strBytes) {
    constexpr size_t CHUNK_SIZE = 64 * 1024;
    std::unique_ptr<char[]> pBuffer(new char[CHUNK_SIZE]);
    for (;;) {
        size_t uiRead = 0;
        const CStatus status = file.Read(pBuffer.get(), CHUNK_SIZE, uiRead);
        if (!status.Ok() || uiRead == 0) return status;
        strBytes.append(pBuffer.get(), uiRead);
    }
}

bool CReadableFile::ReadWhole(const char* pszPath, std::string& strBytes) {
    strBytes.clear();
    std::unique_ptr<CSequentialFile> pFile;
    return CEnv::Default().OpenRead(pszPath, CEnv::EReadMode::PoolFile, pFile).Ok() &&
           ReadRest(*pFile, strBytes).Ok();
}
