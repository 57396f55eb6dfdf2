#include "transport/NetAntiFreeze.h"

#include <atomic>

namespace {

std::atomic<TNetAntiFreezeBase*> gInstance{nullptr};

} // namespace

TNetAntiFreezeBase::TNetAntiFreezeBase() : thread_(std::this_thread::get_id())
{
    gInstance.store(this);
}

TNetAntiFreezeBase::~TNetAntiFreezeBase()
{
    TNetAntiFreezeBase* self = this;
    gInstance.compare_exchange_strong(self, nullptr);
}

TNetAntiFreezeBase* TNetAntiFreezeBase::ForCaller()
{
    TNetAntiFreezeBase* instance = gInstance.load();
    if (!instance || !instance->Active || instance->thread_ != std::this_thread::get_id())
        return nullptr;
    return instance;
}
