// The hub's writes to the receiver's port.
#include "port.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>
#include <vector>

namespace zq_hub {
namespace {

using zq::hub::PortWriter;

// The writer as a hub service, so that the hub's close stops its thread with the others.
class PortService : public zq::hub::Service {
  public:
    std::string_view name() const noexcept override { return "port"; }
    void stop() override { writer->stop(); }
    std::shared_ptr<PortWriter> writer = std::make_shared<PortWriter>();
};

// The writers by hub, guarded by the GIL. The hub's service and this list share each writer,
// so that a reader thread's notification never finds one that a closing hub (which works
// without the GIL) is destroying; an entry goes when its hub is gone.
struct Entry {
    std::weak_ptr<zq::hub::Hub> hub;
    std::shared_ptr<PortWriter> writer;
};

std::vector<Entry>& writers() {
    static std::vector<Entry> list;
    return list;
}

std::shared_ptr<PortWriter> find_writer(HubObject* h) {
    if (!h->core) return nullptr;
    auto& list = writers();
    std::erase_if(list, [](const Entry& e) { return e.hub.expired(); });
    for (const Entry& e : list)
        if (e.hub.lock() == h->core->hub) return e.writer;
    return nullptr;
}

// A descriptor of RECEIVER's open port for the writer's own, or -1 (a stand-in port without
// one, or a closed port). Leaves no error set.
int dup_port(PyObject* receiver) {
    Ref ser = Ref::steal(PyObject_GetAttrString(receiver, "ser"));
    Ref fileno = ser ? Ref::steal(PyObject_CallMethod(ser.get(), "fileno", nullptr)) : Ref{};
    const long fd = fileno && PyLong_Check(fileno.get()) ? PyLong_AsLong(fileno.get()) : -1;
    PyErr_Clear();
    if (fd < 0) return -1;
    return fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
}

}  // namespace

std::shared_ptr<PortWriter> port_writer(HubObject* h) {
    if (auto w = find_writer(h)) return w;
    if (!h->core || h->core->hub->closed()) return nullptr;
    try {
        auto service = std::make_unique<PortService>();
        std::shared_ptr<PortWriter> w = service->writer;
        writers().push_back({h->core->hub, w});
        try {
            h->core->hub->add(std::move(service));
        } catch (const std::exception&) {
            writers().pop_back();
            throw;
        }
        return w;
    } catch (const std::exception&) {
        return nullptr;  // closed meanwhile, or no memory / descriptor for the writer
    }
}

std::shared_ptr<PortWriter> port_writer_if_any(HubObject* h) {
    return find_writer(h);
}

void port_follow(HubObject* h, PyObject* receiver) {
    std::shared_ptr<PortWriter> w = port_writer(h);
    if (!w) return;
    const int fd = dup_port(receiver);
    if (fd < 0) {
        w->detach();
        return;
    }
    w->attach(fd);
}

void port_write_begin(HubObject* h) {
    std::shared_ptr<PortWriter> w = port_writer(h);
    if (!w) return;
    pyref::without_gil([&] { w->begin_external(); });
}

void port_write_end(HubObject* h) {
    if (std::shared_ptr<PortWriter> w = find_writer(h)) w->end_external();
}

void port_stopped(HubObject* h) {
    if (std::shared_ptr<PortWriter> w = find_writer(h)) w->detach();
}

}  // namespace zq_hub
