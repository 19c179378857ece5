#include "app/window_preload.h"

#include "controls/icons.h"

#ifdef TREVIK_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

#include <future>
#include <mutex>

// Outside any namespace, as the resource macro needs.
static void register_resources() {
    Q_INIT_RESOURCE(trevik);
}

namespace {

struct FontsReading {
    std::mutex lock;
    bool started = false;
    std::future<void> done;
};

FontsReading& fonts_reading() {
    static FontsReading r;
    return r;
}

QString twice_path(const QString& path) {
    int dot = path.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? path + QStringLiteral("@2x")
                   : path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
}

} // namespace

void window_resources_init() {
    static std::once_flag once;
    std::call_once(once, register_resources);
}

void window_preload_fonts() {
#ifdef TREVIK_HAVE_FONTCONFIG
    FontsReading& r = fonts_reading();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.started)
        return;
    r.started = true;
    // The font library reads its configuration once per process and is
    // safe to enter from several threads; the toolkit finds it read.
    r.done = std::async(std::launch::async, [] { FcInit(); });
#endif
}

void window_preload_fonts_wait() {
    FontsReading& r = fonts_reading();
    std::future<void> done;
    {
        std::lock_guard<std::mutex> hold(r.lock);
        done = std::move(r.done);
    }
    if (done.valid())
        done.get();
}

QImage window_image(const QString& path) {
    window_resources_init();
    return image_from_path(path);
}

QIcon window_icon(const QString& path) {
    return icon_with_2x(window_image(path), window_image(twice_path(path)));
}

QString window_picture_path(qreal devicePixelRatio) {
    return devicePixelRatio > 1 ? QStringLiteral(":/res/picture@2x.pam")
                                : QStringLiteral(":/res/picture.pam");
}
