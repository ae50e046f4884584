// A minimal XDND drag source for tests: it claims XdndSelection, offers either a file list or
// plain text, follows the pointer (moved by xdotool) over XDND-aware windows, drops when the
// left button is released over a window that accepted, and gives up on Escape.
//
//   vorlanta-xdnd-test-source (--file PATH... | --text TEXT)
//
// Prints "claimed" once it owns the selection, then "dropped", "refused" or "cancelled".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <xcb/xcb.h>

namespace {

xcb_connection_t *connection;
xcb_window_t root, source;

xcb_atom_t atom(const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, strlen(name), name),
                              nullptr),
        &std::free);
    return reply ? reply->atom : 0;
}

void sendMessage(xcb_window_t target, xcb_atom_t type, std::vector<uint32_t> data)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = target;
    event.type = type;
    data.resize(5);
    std::memcpy(event.data.data32, data.data(), sizeof(event.data.data32));
    xcb_send_event(connection, 0, target, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char *>(&event));
    xcb_flush(connection);
}

bool isAware(xcb_window_t window, xcb_atom_t aware)
{
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, window, aware, XCB_ATOM_ATOM, 0, 1),
                               nullptr),
        &std::free);
    return reply && reply->type == XCB_ATOM_ATOM;
}

// The XDND-aware window under the pointer (descending from the top-level), or none.
xcb_window_t targetAt(int16_t x, int16_t y, xcb_atom_t aware)
{
    xcb_window_t window = root;
    for (int depth = 0; depth < 6; ++depth) {
        std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> reply(
            xcb_translate_coordinates_reply(
                connection, xcb_translate_coordinates(connection, root, window, x, y), nullptr),
            &std::free);
        if (!reply || reply->child == XCB_NONE) {
            return XCB_NONE;
        }
        window = reply->child;
        if (isAware(window, aware)) {
            return window;
        }
    }
    return XCB_NONE;
}

// The outcome, on standard output at once: a pipe's buffer would be lost if the process aborted.
int finish(const char *outcome)
{
    std::printf("%s\n", outcome);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> types;
    std::string data;
    for (int i = 2; i < argc; ++i) {
        data += std::strcmp(argv[1], "--file") == 0 ? "file://" + std::string(argv[i]) + "\r\n"
                                                    : std::string(argv[i]);
    }
    if (argc < 3 || (std::strcmp(argv[1], "--file") && std::strcmp(argv[1], "--text"))) {
        std::fprintf(stderr, "usage: %s (--file PATH... | --text TEXT)\n", argv[0]);
        return 2;
    }
    types = std::strcmp(argv[1], "--file") == 0
                ? std::vector<std::string>{"text/uri-list"}
                : std::vector<std::string>{"text/plain;charset=utf-8", "UTF8_STRING"};

    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    source = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, source, root, -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t selection = atom("XdndSelection"), aware = atom("XdndAware"),
                     enter = atom("XdndEnter"), position = atom("XdndPosition"),
                     status = atom("XdndStatus"), leave = atom("XdndLeave"),
                     drop = atom("XdndDrop"), finished = atom("XdndFinished"),
                     copy = atom("XdndActionCopy"), targets = atom("TARGETS");
    std::vector<xcb_atom_t> typeAtoms;
    for (const std::string &type : types) {
        typeAtoms.push_back(atom(type.c_str()));
    }
    // A drag source holds the keyboard: that is how Escape reaches it.
    std::unique_ptr<xcb_grab_keyboard_reply_t, decltype(&std::free)> grab(
        xcb_grab_keyboard_reply(connection,
                                xcb_grab_keyboard(connection, 1, root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr),
        &std::free);
    if (!grab || grab->status != XCB_GRAB_STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot grab the keyboard (%d)\n", grab ? grab->status : -1);
        return 1;
    }
    xcb_set_selection_owner(connection, source, selection, XCB_CURRENT_TIME);
    xcb_flush(connection);
    std::printf("claimed\n");
    std::fflush(stdout); // read before the drag goes on

    xcb_window_t target = XCB_NONE;
    bool accepted = false, dropping = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            const std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(event,
                                                                                   &std::free);
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_SELECTION_REQUEST) {
                auto *request = reinterpret_cast<xcb_selection_request_event_t *>(event);
                xcb_atom_t property = request->property ? request->property : request->target;
                if (request->target == targets) {
                    std::vector<xcb_atom_t> offered{targets};
                    offered.insert(offered.end(), typeAtoms.begin(), typeAtoms.end());
                    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
                                        property, XCB_ATOM_ATOM, 32, offered.size(),
                                        offered.data());
                } else if (std::find(typeAtoms.begin(), typeAtoms.end(), request->target) !=
                           typeAtoms.end()) {
                    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
                                        property, request->target, 8, data.size(), data.data());
                } else {
                    property = XCB_NONE;
                }
                xcb_selection_notify_event_t notify{};
                notify.response_type = XCB_SELECTION_NOTIFY;
                notify.time = request->time;
                notify.requestor = request->requestor;
                notify.selection = request->selection;
                notify.target = request->target;
                notify.property = property;
                xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT,
                               reinterpret_cast<const char *>(&notify));
                xcb_flush(connection);
            } else if (type == XCB_CLIENT_MESSAGE) {
                auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                if (message->type == status) {
                    accepted = message->data.data32[1] & 1;
                } else if (message->type == finished) {
                    return finish((message->data.data32[1] & 1) ? "dropped" : "refused");
                }
            } else if (type == XCB_KEY_PRESS &&
                       reinterpret_cast<xcb_key_press_event_t *>(event)->detail == 9) {
                if (target != XCB_NONE) {
                    sendMessage(target, leave, {source});
                }
                return finish("cancelled");
            }
        }
        if (dropping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> pointer(
            xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr),
            &std::free);
        if (!pointer) {
            return 1;
        }
        const xcb_window_t under = targetAt(pointer->root_x, pointer->root_y, aware);
        if (under != target) {
            if (target != XCB_NONE) {
                sendMessage(target, leave, {source});
            }
            target = under;
            accepted = false;
            if (target != XCB_NONE) {
                std::vector<uint32_t> message{source, 5u << 24};
                message.insert(message.end(), typeAtoms.begin(), typeAtoms.end());
                sendMessage(target, enter, message);
            }
        }
        if (!(pointer->mask & XCB_BUTTON_MASK_1)) {
            if (target != XCB_NONE && accepted) {
                sendMessage(target, drop, {source, 0, XCB_CURRENT_TIME});
                dropping = true;
                continue;
            }
            if (target != XCB_NONE) {
                sendMessage(target, leave, {source});
            }
            return finish("refused");
        }
        if (target != XCB_NONE) {
            sendMessage(target, position,
                        {source, 0, uint32_t(pointer->root_x) << 16 | uint16_t(pointer->root_y),
                         XCB_CURRENT_TIME, copy});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    finish("timed out");
    return 1;
}
