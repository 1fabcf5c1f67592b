// The document information kept while a port's open is deferred.
#include "core.h"

DocInfoCopy *CopyDocInfo(const BYTE *docInfo) {
    if (docInfo == nullptr)
        return nullptr;
    const DOC_INFO_1W *info = (const DOC_INFO_1W *)docInfo;
    DocInfoCopy *copy = (DocInfoCopy *)AllocFixed(sizeof(DocInfoCopy));
    if (copy == nullptr)
        return nullptr;
    // Copy each string that is there; a null one stays null.
    if (info->pDocName != nullptr && (copy->DocName = DupWide(info->pDocName)) == nullptr)
        goto fail;
    if (info->pOutputFile != nullptr && (copy->OutputFile = DupWide(info->pOutputFile)) == nullptr)
        goto fail;
    if (info->pDatatype != nullptr && (copy->Datatype = DupWide(info->pDatatype)) == nullptr)
        goto fail;
    return copy;

fail:
    FreeDocInfo(copy);
    return nullptr;
}

BOOL FreeDocInfo(DocInfoCopy *copy) {
    if (copy == nullptr)
        return FALSE;
    if (copy->DocName != nullptr)
        GlobalFree(copy->DocName);
    if (copy->OutputFile != nullptr)
        GlobalFree(copy->OutputFile);
    if (copy->Datatype != nullptr)
        GlobalFree(copy->Datatype);
    GlobalFree(copy);
    return TRUE;
}
