#include "tests/support/ProgramCopy.h"

#include <filesystem>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

TProgramCopy::TProgramCopy(const std::string& program, const TTempDataFolder& home)
{
    // The home's own unique part: "/tmp/vendrel-test-XXXXXX/".
    fileName_ = "vendrel-" + std::filesystem::path(home.Root()).parent_path().filename().string().substr(13);
    path_ = home.Root() + fileName_;
    std::filesystem::copy_file(program, path_);
}

TProgramCopy::~TProgramCopy()
{
    const TInstanceNames names = Names();
    shm_unlink(names.Mailbox.c_str());
    sem_unlink(names.Semaphore.c_str());
}

TInstanceNames TProgramCopy::Names() const
{
    return InstanceNamesFor(fileName_, static_cast<unsigned>(getuid()));
}
