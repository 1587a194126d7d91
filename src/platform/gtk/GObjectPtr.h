#pragma once

#include <glib-object.h>

#include <memory>

namespace quillo::gtk {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};

// Owns one reference to a GObject.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GErrorDeleter {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

// Connects a signal for the life of the handle; destroying the handle disconnects it.
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id) : instance_(instance), id_(id) {
        g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
    }
    SignalConnection(SignalConnection&& other) noexcept { *this = std::move(other); }
    SignalConnection& operator=(SignalConnection&& other) noexcept {
        if (this != &other) {
            disconnect();
            if (other.instance_) {
                g_object_remove_weak_pointer(G_OBJECT(other.instance_), &other.instance_);
                instance_ = other.instance_;
                id_ = other.id_;
                g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
                other.instance_ = nullptr;
            }
        }
        return *this;
    }
    ~SignalConnection() { disconnect(); }
    void disconnect() {
        if (!instance_) return;
        g_signal_handler_disconnect(instance_, id_);
        g_object_remove_weak_pointer(G_OBJECT(instance_), &instance_);
        instance_ = nullptr;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

}  // namespace quillo::gtk
