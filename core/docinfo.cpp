// The document information kept while a port's open is deferred.
#include "core.h"

#include <stddef.h>

// The copy is handed to the port monitor in place of the spooler's block: at
// level 2 it must be read as a DOC_INFO_2W, at level 1 as its head.
static_assert(sizeof(DocInfoCopy) == sizeof(DOC_INFO_2W), "a copy is a DOC_INFO_2W");
static_assert(offsetof(DocInfoCopy, Datatype) == offsetof(DOC_INFO_1W, pDatatype) &&
                  offsetof(DocInfoCopy, Mode) == offsetof(DOC_INFO_2W, dwMode) &&
                  offsetof(DocInfoCopy, JobId) == offsetof(DOC_INFO_2W, JobId),
              "a copy has DOC_INFO_2W's fields in its places");

DWORD DocInfoCopyLevel(DWORD level) {
    return level == 2 ? 2 : 1;
}

DocInfoCopy *CopyDocInfo(const BYTE *docInfo, DWORD level) {
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
    // Level 2's numbers; any other level's block is read no further than
    // DOC_INFO_1's end.
    if (DocInfoCopyLevel(level) == 2) {
        const DOC_INFO_2W *info2 = (const DOC_INFO_2W *)docInfo;
        copy->Mode = info2->dwMode;
        copy->JobId = info2->JobId;
    }
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
