#include <gtk/gtk.h>
#include <gtest/gtest.h>

// The integration tests drive the real toolkit: GTK needs its display before any test runs.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "integration tests need a display (run them through "
                             "tests/with-desktop-session.sh)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
