#include "Shader.h"

#include "ExeDir.h"

#include <glm/mat3x3.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const samplerSource = R"(
uniform sampler2D texUnit0, texUnit1, texUnit2, texUnit3, texUnit4, texUnit5;
void main() {
    gl_FragColor = texture2D(texUnit0, vec2(0.0)) + texture2D(texUnit1, vec2(0.0))
                 + texture2D(texUnit2, vec2(0.0)) + texture2D(texUnit3, vec2(0.0))
                 + texture2D(texUnit4, vec2(0.0)) + texture2D(texUnit5, vec2(0.0));
}
)";

const char* const uniformSource = R"(
uniform float f1;
uniform vec2 f2;
uniform vec3 f3;
uniform int i1;
uniform ivec2 i2;
uniform mat3 m;
void main() {
    gl_FragColor = vec4(f1 + f2.x + f2.y + f3.x + f3.y + f3.z + float(i1 + i2.x + i2.y)
                        + m[0][0] + m[0][1] + m[0][2] + m[1][0] + m[1][1] + m[1][2]
                        + m[2][0] + m[2][1] + m[2][2]);
}
)";

// Shader sources live beside the executable; the names carry the process id so that test
// programs running side by side do not meet.
class ShaderFiles : public testing::Test {
protected:
    std::string name = "shadertest" + std::to_string(::getpid());
    std::string fragmentPath = exeDir(name + ".frag");
    std::string vertexPath = exeDir(name + ".vert");

    void TearDown() override {
        std::remove(fragmentPath.c_str());
        std::remove(vertexPath.c_str());
    }

    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    // Moves the file's modification time `seconds` away, as if it was saved then.
    static void shiftTime(const std::string& path, int seconds) {
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        utimbuf times{status.st_atime, status.st_mtime + seconds};
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
    }
};

std::string shaderSource(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_SHADER_SOURCE_LENGTH, &length);
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    glGetShaderSource(shader, static_cast<GLsizei>(text.size()), nullptr, text.data());
    return text.data();
}

GLint uniformInt(GLuint program, const char* name) {
    GLint value = -1;
    glGetUniformiv(program, glGetUniformLocation(program, name), &value);
    return value;
}

std::vector<GLfloat> uniformFloats(GLuint program, const char* name, int count) {
    std::vector<GLfloat> values(static_cast<std::size_t>(count), -1.0f);
    glGetUniformfv(program, glGetUniformLocation(program, name), values.data());
    return values;
}

std::string versionLine() {
    return glslVersionLine(reinterpret_cast<const char*>(glGetString(GL_VERSION)));
}

TEST_F(ShaderFiles, FragmentOnlyProgramLinksCurrentWithSamplerUnits) {
    write(fragmentPath, samplerSource);
    testing::internal::CaptureStderr();
    GLuint program = 0;
    GLuint reloaded = 0;
    {
        Shader shader(name, "");
        program = shader.program;
        EXPECT_EQ(shader.vertexShader, 0u);
        EXPECT_NE(shader.fragmentShader, 0u);
        EXPECT_EQ(shader.fragmentPath, fragmentPath);
        GLint linked = 0;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        EXPECT_EQ(linked, GL_TRUE);
        GLint current = 0;
        glGetIntegerv(GL_CURRENT_PROGRAM, &current);
        EXPECT_EQ(static_cast<GLuint>(current), program);
        for (int unit = 0; unit <= 5; ++unit) {
            const std::string sampler = "texUnit" + std::to_string(unit);
            EXPECT_EQ(uniformInt(program, sampler.c_str()), unit) << sampler;
        }
        // A reload links a new program, current and with the units set, and drops the old.
        shader.update();
        reloaded = shader.program;
        EXPECT_NE(reloaded, program);
        EXPECT_EQ(glIsProgram(program), GL_FALSE);
        glGetIntegerv(GL_CURRENT_PROGRAM, &current);
        EXPECT_EQ(static_cast<GLuint>(current), reloaded);
        EXPECT_EQ(uniformInt(reloaded, "texUnit5"), 5);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(glIsProgram(reloaded), GL_FALSE);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, VersionLineThenPreambleThenFileText) {
    const std::string vertexText =
        "void main() { gl_Position = gl_ModelViewProjectionMatrix * gl_Vertex; }\n";
    const std::string fragmentText = "void main() { gl_FragColor = vec4(SHADE); }\n";
    write(vertexPath, vertexText);
    write(fragmentPath, fragmentText);
    const std::string preamble = "#define SHADE 0.5\n";
    Shader shader(name, preamble);
    ASSERT_NE(shader.vertexShader, 0u);
    EXPECT_EQ(shaderSource(shader.vertexShader), versionLine() + preamble + vertexText);
    EXPECT_EQ(shaderSource(shader.fragmentShader), versionLine() + preamble + fragmentText);
    // The test contexts are OpenGL 3 or newer.
    EXPECT_EQ(versionLine(), "#version 130\n");
}

// A program a set of defines, built once, kept while others are in use, and built anew from
// the changed source on update; a define that does not compile leaves the current one in use.
TEST_F(ShaderFiles, SelectKeepsAProgramForEachSetOfDefines) {
    write(fragmentPath, "#ifndef SHADE\n#define SHADE 1.0\n#endif\n"
                        "void main() { gl_FragColor = vec4(SHADE); }\n");
    Shader shader(name, "#define UNUSED 1\n");
    const GLuint plain = shader.program;
    shader.select("#define SHADE 0.5\n");
    const GLuint half = shader.program;
    EXPECT_NE(half, plain);
    EXPECT_EQ(shaderSource(shader.fragmentShader)
                  .find(versionLine() + "#define UNUSED 1\n"
                                        "#define SHADE 0.5\n"),
              0u);
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(static_cast<GLuint>(current), half);
    shader.select("");
    EXPECT_EQ(shader.program, plain);
    shader.select("#define SHADE 0.5\n");
    EXPECT_EQ(shader.program, half);
    EXPECT_TRUE(glIsProgram(plain));

    EXPECT_THROW(shader.select("#define SHADE nothing\n"), std::runtime_error);
    EXPECT_EQ(shader.program, half);

    shader.update();
    EXPECT_NE(shader.program, half);
    EXPECT_FALSE(glIsProgram(plain)) << "built from the source before";
}

TEST(GlslVersionLine, ChosenByTheFirstDigitOfTheGlVersion) {
    EXPECT_EQ(glslVersionLine("2.1 Mesa 23.2.1"), "");
    EXPECT_EQ(glslVersionLine("1.5"), "");
    EXPECT_EQ(glslVersionLine(""), "");
    EXPECT_EQ(glslVersionLine(nullptr), "");
    EXPECT_EQ(glslVersionLine("3.2"), "#version 130\n");
    EXPECT_EQ(glslVersionLine("4.1 NVIDIA"), "#version 130\n");
    EXPECT_EQ(glslVersionLine("9.0"), "#version 130\n");
}

TEST(SuccessLog, OnlyDriverSuccessTextsAndTheirContinuationsAreQuiet) {
    for (const char* text :
         {"Vertex shader was successfully compiled to run on hardware.",
          "Fragment shader was successfully compiled to run on hardware.",
          "Fragment shader(s) linked, vertex shader(s) linked.", "Fragment shader(s) linked.",
          "Fragment shader(s) linked, no vertex shader(s) defined.",
          "Vertex shader(s) linked, fragment shader(s) linked.", "No errors.", ""}) {
        EXPECT_TRUE(isSuccessLog(text)) << text;
    }
    EXPECT_TRUE(isSuccessLog("Fragment shader(s) linked.\nWARNING: unused varying\n"));
    EXPECT_FALSE(isSuccessLog("Fragment shader(s) linked"));
    EXPECT_FALSE(isSuccessLog("No errors"));
    EXPECT_FALSE(isSuccessLog(" No errors."));
    EXPECT_FALSE(isSuccessLog("0:1(1): error: syntax error"));
}

std::string thrownText(const std::string& name) {
    try {
        Shader shader(name, "");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

GLint currentProgram() {
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    return current;
}

TEST_F(ShaderFiles, CompileErrorThrowsTheCompilerLogWithThePathAndStillPrintsIt) {
    write(fragmentPath, "void main() {\n    gl_FragColor = vec4(1.0) banana;\n}\n");
    testing::internal::CaptureStderr();
    const std::string text = thrownText(name);
    const std::string output = testing::internal::GetCapturedStderr();
    const std::string header = "Error compiling shader '" + fragmentPath + "':\n";
    EXPECT_EQ(text.compare(0, header.size(), header), 0) << text;
    // Mesa's words, at the stray word's place: line 3 counts the version line before it.
    EXPECT_NE(text.find("0:3(27): error: syntax error, unexpected NEW_IDENTIFIER"),
              std::string::npos)
        << text;
    EXPECT_NE(text.back(), '\n');

    const std::string log = text.substr(header.size());
    EXPECT_EQ(output, "Errors in shader '" + fragmentPath + "':\n" + log + "\n\n") << output;
    EXPECT_EQ(currentProgram(), 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, VertexCompileAndLinkErrorsNameTheirFiles) {
    write(vertexPath, "void main() { gl_Position = undeclared; }\n");
    write(fragmentPath, "void main() { gl_FragColor = vec4(1.0); }\n");
    testing::internal::CaptureStderr();
    std::string text = thrownText(name);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(text.rfind("Error compiling shader '" + vertexPath + "':\n", 0), 0u) << text;
    EXPECT_NE(text.find("undeclared"), std::string::npos) << text;

    // Both compile; the link fails for a function declared and called but never defined.
    write(vertexPath, "void main() { gl_Position = gl_Vertex; }\n");
    write(fragmentPath, "vec4 shade();\nvoid main() { gl_FragColor = shade(); }\n");
    testing::internal::CaptureStderr();
    text = thrownText(name);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        text.rfind("Error linking shader '" + vertexPath + "' and '" + fragmentPath + "':\n", 0),
        0u)
        << text;
    EXPECT_NE(text.find("shade"), std::string::npos) << text;
    EXPECT_NE(output.find("Errors in shader '" + name + "':\n"), std::string::npos) << output;
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, FailedCompileOnReloadKeepsTheGoodProgramInUse) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    const GLuint good = shader.program;
    const GLuint goodFragment = shader.fragmentShader;
    shader.setUniform1f("f1", 2.5f);

    write(fragmentPath, "uniform float g;\nvoid main() { gl_FragColor = vec4(g) }\n");
    testing::internal::CaptureStderr();
    try {
        shader.update();
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        const std::string text = error.what();
        EXPECT_EQ(text.rfind("Error compiling shader '" + fragmentPath + "':\n", 0), 0u) << text;
        EXPECT_NE(text.find("syntax error"), std::string::npos) << text;
    }
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(shader.program, good);
    EXPECT_EQ(shader.fragmentShader, goodFragment);
    EXPECT_EQ(currentProgram(), static_cast<GLint>(good));
    GLint linked = 0;
    glGetProgramiv(good, GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
    EXPECT_EQ(uniformFloats(good, "f1", 1), std::vector<GLfloat>({2.5f}));
    // Drawing state stays valid: using the program is no GL error.
    shader.use(true);
    EXPECT_NO_THROW(shader.setUniform1f("f1", 3.0f));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    // Mended, the next reload takes the new source.
    write(fragmentPath, "uniform float g;\nvoid main() { gl_FragColor = vec4(g); }\n");
    shader.update();
    EXPECT_NE(glGetUniformLocation(shader.program, "g"), -1);
    EXPECT_EQ(glIsProgram(good), GL_FALSE);
}

TEST_F(ShaderFiles, MissingFragmentFileThrowsWithItsFullPath) {
    try {
        Shader shader(name, "");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Error opening file '" + fragmentPath + "'");
    }
    EXPECT_EQ(fragmentPath.front(), '/');
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, SettersReachTheProgramAndMissingNamesPrintOneLine) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    shader.use(true);
    shader.setUniform1f("f1", 1.5f);
    shader.setUniform2f("f2", 2.0f, 3.0f);
    shader.setUniform3f("f3", 4.0f, 5.0f, 6.0f);
    shader.setUniform1i("i1", 7);
    shader.setUniform2i("i2", 8, 9);
    glm::mat3 m(0.0f);
    m[0][1] = 1.0f; // column 0, row 1
    m[2][0] = 2.0f; // column 2, row 0
    shader.setUniformMatrix3fv("m", m);

    EXPECT_EQ(uniformFloats(shader.program, "f1", 1), std::vector<GLfloat>({1.5f}));
    EXPECT_EQ(uniformFloats(shader.program, "f2", 2), std::vector<GLfloat>({2.0f, 3.0f}));
    EXPECT_EQ(uniformFloats(shader.program, "f3", 3), std::vector<GLfloat>({4.0f, 5.0f, 6.0f}));
    EXPECT_EQ(uniformInt(shader.program, "i1"), 7);
    GLint pair[2] = {0, 0};
    glGetUniformiv(shader.program, glGetUniformLocation(shader.program, "i2"), pair);
    EXPECT_EQ(pair[0], 8);
    EXPECT_EQ(pair[1], 9);
    EXPECT_EQ(uniformFloats(shader.program, "m", 9),
              std::vector<GLfloat>({0, 1, 0, 0, 0, 0, 2, 0, 0}));

    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(shader.setUniform1f("nothing", 1.0f));
    EXPECT_NO_THROW(shader.setUniformMatrix3fv("nothing2", m));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No such uniform named 'nothing'\nNo such uniform named 'nothing2'\n");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, MissingUniformIsReportedOncePerNameAndProgram) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    shader.use(true);
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 3; ++frame) {
        shader.setUniform1f("absent", 1.0f);
        shader.setUniform2i("absent", 1, 2);
        shader.setUniform1f("f1", 1.0f);
    }
    shader.setUniform3f("alsoAbsent", 1.0f, 2.0f, 3.0f);
    shader.setUniform1f("absent", 1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No such uniform named 'absent'\nNo such uniform named 'alsoAbsent'\n");

    // A reloaded program is a new one: its missing names are told again, once.
    shader.update();
    testing::internal::CaptureStderr();
    shader.setUniform1f("absent", 1.0f);
    shader.setUniform1f("absent", 1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No such uniform named 'absent'\n");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, SetterThrowsOnAPendingGlErrorAndKeepsTheValue) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    shader.setUniform1f("f1", 1.0f);
    glEnable(0xFFFF); // an invalid enumerant
    EXPECT_THROW(shader.setUniform1f("f1", 2.0f), std::runtime_error);
    EXPECT_EQ(uniformFloats(shader.program, "f1", 1), std::vector<GLfloat>({1.0f}));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShaderFiles, CheckForUpdateSeesWholeSecondChangesOnly) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    EXPECT_FALSE(shader.checkForUpdate());
    EXPECT_NE(glGetUniformLocation(shader.program, "f1"), -1);

    write(fragmentPath, "uniform float g; void main() { gl_FragColor = vec4(g); }\n");
    shiftTime(fragmentPath, 2);
    EXPECT_TRUE(shader.checkForUpdate());
    EXPECT_NE(glGetUniformLocation(shader.program, "g"), -1);
    EXPECT_EQ(glGetUniformLocation(shader.program, "f1"), -1);
    EXPECT_FALSE(shader.checkForUpdate());

    // A deleted file counts as unchanged; there is no vertex file at all.
    std::remove(fragmentPath.c_str());
    EXPECT_FALSE(shader.checkForUpdate());
}

TEST_F(ShaderFiles, VertexFileChangeIsSeenWhenTheFragmentFileIsUnchanged) {
    write(vertexPath, "void main() { gl_Position = gl_Vertex; }\n");
    write(fragmentPath, "void main() { gl_FragColor = vec4(1.0); }\n");
    Shader shader(name, "");
    EXPECT_FALSE(shader.checkForUpdate());
    write(vertexPath, "uniform float lift;\n"
                      "void main() { gl_Position = gl_Vertex + vec4(lift); }\n");
    shiftTime(vertexPath, 3);
    EXPECT_TRUE(shader.checkForUpdate());
    EXPECT_NE(glGetUniformLocation(shader.program, "lift"), -1);
    EXPECT_FALSE(shader.checkForUpdate());
}

TEST_F(ShaderFiles, FailedReloadKeepsTheLastLinkedProgram) {
    write(fragmentPath, uniformSource);
    Shader shader(name, "");
    std::remove(fragmentPath.c_str());
    try {
        shader.update();
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Error opening file '" + fragmentPath + "'");
    }
    shader.use(true);
    EXPECT_NE(glGetUniformLocation(shader.program, "f1"), -1);
    Shader::useNone();
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

} // namespace
