#include <GL/glew.h>

bool initializeGlew() {
    return glewInit() == GLEW_OK && GLEW_VERSION_2_0;
}
