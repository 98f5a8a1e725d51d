// Entry point of the GL test programs: one hidden OpenGL context, current for every case.
// Qt's GL headers and GLEW's do not mix, so GLEW is set up in GlTestGlew.cpp.
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <gtest/gtest.h>

#include <cstdio>

bool initializeGlew();

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    QGuiApplication app(argc, argv);
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    QOpenGLContext context;
    context.setFormat(format);
    QOffscreenSurface surface;
    surface.setFormat(format);
    surface.create();
    if (!context.create() || !context.makeCurrent(&surface)) {
        std::fprintf(stderr, "No OpenGL context (is a display set?)\n");
        return 1;
    }
    if (!initializeGlew()) {
        std::fprintf(stderr, "OpenGL 2.0 is not available\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    context.doneCurrent();
    return result;
}
