#include "tests/support/PageServer.h"

#include <sys/socket.h>

#include <chrono>

namespace {

bool SendAll(int fd, const std::string& s)
{
    const char* data = s.data();
    std::size_t size = s.size();
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

} // namespace

namespace {

void CountIn(std::atomic<int>& now, std::atomic<int>& most)
{
    const int n = ++now;
    for (int m = most; n > m && !most.compare_exchange_weak(m, n);) {
    }
}

} // namespace

TPageServer::TPageServer(const std::string& address, std::shared_ptr<TFlightCounter> all)
    : address_(address), all_(std::move(all))
{
    concurrent_ = true;
    Start(address);
}

TPageServer::~TPageServer()
{
    // Answers held back are let go, so that their connections can end.
    Release();
    Stop();
}

std::string TPageServer::Url(const std::string& path) const
{
    return "http://" + address_ + ":" + std::to_string(Port()) + path;
}

void TPageServer::SetPage(const std::string& path, TPage page)
{
    auto shared = std::make_shared<const TPage>(std::move(page));
    std::lock_guard lock(mutex_);
    pages_[path] = std::move(shared);
}

void TPageServer::SetBody(const std::string& path, std::string body)
{
    TPage page;
    page.Body = std::move(body);
    SetPage(path, std::move(page));
}

std::vector<TPageServer::TRequest> TPageServer::Log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

void TPageServer::Hold()
{
    std::lock_guard lock(mutex_);
    held_ = true;
}

void TPageServer::Release()
{
    {
        std::lock_guard lock(mutex_);
        held_ = false;
    }
    released_.notify_all();
}

void TPageServer::Serve(int fd)
{
    std::string buffer;
    char chunk[16384];
    while (!Stopping()) {
        std::size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        {
            const std::string head = buffer.substr(0, end);
            buffer.erase(0, end + 4);
            TRequest request;
            const auto sp1 = head.find(' ');
            const auto sp2 = head.find(' ', sp1 + 1);
            request.Path = head.substr(sp1 + 1, sp2 - sp1 - 1);
            for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
                const auto next = head.find("\r\n", at + 2);
                const std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
                if (const auto colon = line.find(':'); colon != std::string::npos)
                    request.Headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
                at = next;
            }
            const bool close = head.find("HTTP/1.0") != std::string::npos ||
                               Lower(request.Headers["connection"]) == "close";
            ++requests_;
            CountIn(inFlight_, mostInFlight_);
            if (all_)
                CountIn(all_->Now, all_->Most);
            std::shared_ptr<const TPage> page;
            {
                std::unique_lock lock(mutex_);
                log_.push_back(request);
                if (auto it = pages_.find(request.Path); it != pages_.end())
                    page = it->second;
                released_.wait(lock, [this] { return !held_; });
            }
            if (page && page->DelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(page->DelayMs));
            std::string answer;
            if (!page) {
                answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found";
            } else {
                const auto inm = request.Headers.find("if-none-match");
                const auto ims = request.Headers.find("if-modified-since");
                const bool same = (inm != request.Headers.end() && !page->ETag.empty() && inm->second == page->ETag) ||
                                  (inm == request.Headers.end() && ims != request.Headers.end() &&
                                   !page->LastModified.empty() && ims->second == page->LastModified);
                std::string validators;
                if (!page->ETag.empty())
                    validators += "ETag: " + page->ETag + "\r\n";
                if (!page->LastModified.empty())
                    validators += "Last-Modified: " + page->LastModified + "\r\n";
                if (same)
                    answer = "HTTP/1.1 304 Not Modified\r\n" + validators + "\r\n";
                else
                    answer = "HTTP/1.1 " + std::to_string(page->Status) + " " + page->Reason + "\r\nContent-Type: text/html\r\n" +
                             validators + "Content-Length: " + std::to_string(page->Body.size()) + "\r\n\r\n" +
                             page->Body;
            }
            --inFlight_;
            if (all_)
                --all_->Now;
            if (!SendAll(fd, answer) || close)
                break;
        }
    }
}
