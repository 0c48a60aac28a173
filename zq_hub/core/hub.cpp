// The hub's services and their lifetime.
#include "hub.hpp"

#include <stdexcept>
#include <utility>

namespace zq::hub {

Hub::~Hub() {
    close();
}

void Hub::add(std::unique_ptr<Service> service) {
    std::unique_ptr<Service> old;
    {
        std::lock_guard lock(mu_);
        if (closed_) throw std::logic_error("the hub is closed");
        for (auto& s : services_) {
            if (s->name() == service->name()) {
                old = std::exchange(s, std::move(service));
                break;
            }
        }
        if (service) services_.push_back(std::move(service));
    }
    if (old) old->stop();
}

Service* Hub::find(std::string_view name) const {
    std::lock_guard lock(mu_);
    for (const auto& s : services_)
        if (s->name() == name) return s.get();
    return nullptr;
}

bool Hub::remove(std::string_view name) {
    std::unique_ptr<Service> gone;
    {
        std::lock_guard lock(mu_);
        for (auto it = services_.begin(); it != services_.end(); ++it) {
            if ((*it)->name() == name) {
                gone = std::move(*it);
                services_.erase(it);
                break;
            }
        }
    }
    if (!gone) return false;
    gone->stop();
    return true;
}

std::vector<std::string> Hub::names() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const auto& s : services_)
        out.emplace_back(s->name());
    return out;
}

void Hub::close() {
    std::vector<std::unique_ptr<Service>> all;
    {
        std::lock_guard lock(mu_);
        if (closed_) return;
        closed_ = true;
        all.swap(services_);
    }
    // Consumers first, so that a service waiting on one wakes up to its stop.
    tap_.close();
    for (auto& s : all)
        s->stop();
}

void Hub::set_device(std::string path) {
    std::lock_guard lock(mu_);
    device_ = std::move(path);
}

std::string Hub::device() const {
    std::lock_guard lock(mu_);
    return device_;
}

bool Hub::closed() const {
    std::lock_guard lock(mu_);
    return closed_;
}

}  // namespace zq::hub
