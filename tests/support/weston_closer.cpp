// A weston module for the tests: on SIGUSR2 the compositor asks every window to close
// (xdg_toplevel.close), as a desktop does when a person closes a window from its task list, its
// server-drawn title bar or with Alt+F4. A headless weston has no seat, so nothing can click a
// window's own close button, and no shell that comes with weston ever sends that request.
#include <weston/weston.h>
#include <libweston-desktop/libweston-desktop.h>

#include <csignal>
#include <vector>

namespace {

int closeEveryWindow(int, void *data)
{
    auto *compositor = static_cast<weston_compositor *>(data);
    std::vector<weston_desktop_surface *> windows;
    weston_layer *layer = nullptr;
    wl_list_for_each(layer, &compositor->layer_list, link) {
        weston_view *view = nullptr;
        wl_list_for_each(view, &layer->view_list.link, layer_link.link) {
            if (view->surface && weston_surface_is_desktop_surface(view->surface))
                windows.push_back(weston_surface_get_desktop_surface(view->surface));
        }
    }
    weston_log("vireoscope test module: asking %zu windows to close\n", windows.size());
    for (weston_desktop_surface *window : windows)
        weston_desktop_surface_close(window);
    return 0;
}

} // namespace

extern "C" WL_EXPORT int wet_module_init(weston_compositor *compositor, int *, char *[])
{
    wl_event_loop *loop = wl_display_get_event_loop(compositor->wl_display);
    return wl_event_loop_add_signal(loop, SIGUSR2, closeEveryWindow, compositor) ? 0 : -1;
}
