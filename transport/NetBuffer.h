#pragma once

// Byte buffers of the connection. Every removal is reported to the owner,
// which counts the bytes as read work.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class TNetSimpleBuffer {
public:
    using TRemovedEvent = std::function<void(std::size_t count)>;

    explicit TNetSimpleBuffer(TRemovedEvent onRemoved = {}) : onRemoved_(std::move(onRemoved)) {}
    virtual ~TNetSimpleBuffer() = default;

    virtual std::size_t Size() const { return data_.size(); }
    virtual const char* Memory() const { return data_.data(); }
    std::string_view View() const { return {Memory(), Size()}; }
    // Writable memory of the whole buffer after a SetSize.
    char* Data() { return data_.data(); }
    virtual void SetSize(std::size_t size) { data_.resize(size); }
    void Append(const void* bytes, std::size_t count) { data_.append(static_cast<const char*>(bytes), count); }
    void Append(std::string_view bytes) { Append(bytes.data(), bytes.size()); }
    // Removes count bytes from the front; more than it holds raises ENetNotEnoughDataInBuffer.
    virtual void Remove(std::size_t count);
    // The first count bytes, removed.
    std::string Extract(std::size_t count);
    virtual void Clear() { data_.clear(); }

protected:
    void Removed(std::size_t count) const
    {
        if (onRemoved_)
            onRemoved_(count);
    }

    std::string data_;

private:
    TRemovedEvent onRemoved_;
};

// Consumed bytes are skipped by an offset and moved out once they add up to
// CompactThreshold, so reading many short lines does not move the rest each time.
class TNetManagedBuffer : public TNetSimpleBuffer {
public:
    static constexpr std::size_t CompactThreshold = 32768;

    using TNetSimpleBuffer::TNetSimpleBuffer;

    std::size_t Size() const override { return data_.size() - consumed_; }
    const char* Memory() const override { return data_.data() + consumed_; }
    void SetSize(std::size_t size) override;
    void Remove(std::size_t count) override;
    void Clear() override;
    std::size_t Consumed() const { return consumed_; }

private:
    std::size_t consumed_ = 0;
};
