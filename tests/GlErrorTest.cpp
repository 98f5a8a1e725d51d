#include "GlError.h"

#include <GL/glew.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>

namespace {

std::string gluText(GLenum code) {
    return reinterpret_cast<const char*>(gluErrorString(code));
}

// Mesa keeps one error flag at a time, so the order of several pending errors is tested
// with a queue standing in for glGetError.
std::deque<unsigned> pending;
unsigned nextPending() {
    if (pending.empty()) {
        return GL_NO_ERROR;
    }
    const unsigned code = pending.front();
    pending.pop_front();
    return code;
}

struct Framebuffer {
    GLuint name = 0;
    Framebuffer() {
        glGenFramebuffersEXT(1, &name);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, name);
    }
    ~Framebuffer() {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        glDeleteFramebuffersEXT(1, &name);
    }
};

} // namespace

TEST(GlError, NoPendingErrorGivesEmptyTextAndTheCheckGoesOn) {
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(glError("a.cpp", 1), "");
    EXPECT_NO_THROW(throwIfGlFailed(glError("a.cpp", 1)));
}

TEST(GlError, PendingErrorGivesOneLineAndIsCleared) {
    glEnable(0xFFFF); // not an enumerant
    const std::string text = glError("/src/x.cpp", 42);
    EXPECT_EQ(text, "glError in file /src/x.cpp @ line 42: " + gluText(GL_INVALID_ENUM) + "\n");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glEnable(0xFFFF);
    try {
        throwIfGlFailed(glError("f", 7));
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "glError in file f @ line 7: " + gluText(GL_INVALID_ENUM) + "\n");
    }
}

TEST(GlError, SeveralErrorsGiveOneLineEachInOrder) {
    pending = {GL_INVALID_ENUM, GL_INVALID_OPERATION, GL_OUT_OF_MEMORY};
    EXPECT_EQ(glErrorLines("f.cpp", 3, nextPending),
              "glError in file f.cpp @ line 3: " + gluText(GL_INVALID_ENUM) + "\n" +
                  "glError in file f.cpp @ line 3: " + gluText(GL_INVALID_OPERATION) + "\n" +
                  "glError in file f.cpp @ line 3: " + gluText(GL_OUT_OF_MEMORY) + "\n");
    EXPECT_TRUE(pending.empty());
    pending = {0x9999};
    EXPECT_EQ(glErrorLines("f.cpp", 3, nextPending), "glError in file f.cpp @ line 3: 0x9999\n");
}

TEST(FramebufferStatus, CompleteFramebufferIsEmptyAndLeavesErrorsPending) {
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    {
        Framebuffer framebuffer;
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D,
                                  texture, 0);
        glEnable(0xFFFF);
        EXPECT_EQ(framebufferStatus("f", 1), "");
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_ENUM));
    }
    glDeleteTextures(1, &texture);
}

TEST(FramebufferStatus, IncompleteFramebufferNamesTheReason) {
    Framebuffer framebuffer;
    EXPECT_EQ(framebufferStatus("/src/t.cpp", 9), "Framebuffer Error in file /src/t.cpp @ line 9: "
                                                  "Framebuffer incomplete, missing attachment");
}
