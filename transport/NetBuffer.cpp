#include "transport/NetBuffer.h"

#include "transport/NetErrors.h"

void TNetSimpleBuffer::Remove(std::size_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    data_.erase(0, count);
    Removed(count);
}

std::string TNetSimpleBuffer::Extract(std::size_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    std::string bytes(Memory(), count);
    Remove(count);
    return bytes;
}

void TNetManagedBuffer::SetSize(std::size_t size)
{
    data_.resize(consumed_ + size);
}

void TNetManagedBuffer::Remove(std::size_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    if (count == Size()) {
        data_.clear();
        consumed_ = 0;
    } else {
        consumed_ += count;
        if (consumed_ >= CompactThreshold) {
            data_.erase(0, consumed_);
            consumed_ = 0;
        }
    }
    Removed(count);
}

void TNetManagedBuffer::Clear()
{
    data_.clear();
    consumed_ = 0;
}
