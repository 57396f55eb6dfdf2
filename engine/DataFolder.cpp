#include "engine/DataFolder.h"

#include "platform/Folders.h"
#include "platform/Text.h"
#include "platform/Utilities.h"

std::string DataFolder(const std::string& name, bool create)
{
    std::string folder;
    if (auto home = UserDataHome()) {
        folder = Trim(*home);
        if (folder.empty() || folder.back() != '/')
            folder += '/';
        folder += std::string(MakerName) + "/" + name + "/";
    } else {
        folder = ProgramFolder();
    }
    if (create) {
        if (const std::string failure = ForceFolderFailure(folder); !failure.empty())
            throw EDataFolderError("Vendrel cannot make its data folder " + folder + " (" + failure + ")");
    }
    return folder;
}
