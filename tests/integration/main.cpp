#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// The integration tests drive the real toolkit: GTK needs its display before any test runs.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The tests write diaries under $HOME and delete them again: they must never meet the user's
    // own home, which the session script keeps only for snapshots of a real diary.
    const char* keptHome = std::getenv("QUILLO_KEEP_HOME");
    if (!std::getenv("QUILLO_SESSION_BUS") || (keptHome && std::string(keptHome) == "1")) {
        std::fprintf(stderr, "integration tests run only inside a throwaway home (run them "
                             "through tests/with-desktop-session.sh, without QUILLO_KEEP_HOME)\n");
        return 1;
    }
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "integration tests need a display (run them through "
                             "tests/with-desktop-session.sh)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
