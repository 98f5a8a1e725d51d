#include "Shader.h"

#include "CFile.h"
#include "ExeDir.h"
#include "GlError.h"

#include <boost/algorithm/string/predicate.hpp>
#include <fmt/printf.h>
#include <glm/gtc/type_ptr.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

void printInfoLog(GLuint object, const char* label) {
    GLint length = 0;
    glGetObjectParameterivARB(object, GL_OBJECT_INFO_LOG_LENGTH_ARB, &length);
    if (length < 2) {
        return;
    }
    std::vector<char> buffer(static_cast<std::size_t>(length));
    GLsizei written = 0;
    glGetInfoLogARB(object, length, &written, buffer.data());
    const std::string log(buffer.data(), static_cast<std::size_t>(std::max(written, 0)));
    if (isSuccessLog(log)) {
        return;
    }
    fmt::fprintf(stderr, "Errors in shader '%s':\n%s\n", label, log);
    std::fflush(stderr);
}

std::string readSource(const std::string& path) {
    File file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
        throw std::runtime_error(fmt::sprintf("Error opening file '%s'", path));
    }
    const long end = std::ftell(file.get());
    if (end < 0 || end >= INT_MAX) {
        throw std::runtime_error(fmt::sprintf("Error opening file '%s'", path));
    }
    std::vector<char> text(static_cast<std::size_t>(end) + 1);
    std::rewind(file.get());
    const std::size_t count = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get())) {
        return std::string();
    }
    return std::string(text.data(), count);
}

void loadAndCompile(GLuint shader, const std::string& path, const std::string& preamble) {
    const std::string source = readSource(path);
    // Fixed by the first context the process compiles for.
    static const std::string glVersion = [] {
        const GLubyte* text = glGetString(GL_VERSION);
        return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    }();
    static const std::string glslVersion = glslVersionLine(glVersion.c_str());

    const GLcharARB* strings[3] = {glslVersion.c_str(), preamble.c_str(), source.c_str()};
    glShaderSourceARB(shader, 3, strings, nullptr);
    glCompileShaderARB(shader);
    printInfoLog(shader, path.c_str());
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// A file that cannot be examined counts as unchanged.
bool changed(const std::string& path, struct stat& recorded) {
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0) {
        return false;
    }
    const bool differs = now.st_mtime != recorded.st_mtime;
    recorded = now;
    return differs;
}

void releaseObjects(GLuint program, GLuint vertexShader, GLuint fragmentShader) {
    glUseProgramObjectARB(0);
    for (GLuint shader : {vertexShader, fragmentShader}) {
        if (shader != 0) {
            glDetachShader(program, shader);
            glDeleteShader(shader);
        }
    }
    glDeleteProgram(program);
}

} // namespace

std::string glslVersionLine(const char* glVersion) {
    if (glVersion != nullptr && glVersion[0] >= '3' && glVersion[0] <= '9') {
        return "#version 130\n";
    }
    return std::string();
}

bool isSuccessLog(const std::string& log) {
    static const char* const successTexts[] = {
        "Vertex shader was successfully compiled to run on hardware.",
        "Fragment shader was successfully compiled to run on hardware.",
        "Fragment shader(s) linked, vertex shader(s) linked.",
        "Fragment shader(s) linked.",
        "Fragment shader(s) linked, no vertex shader(s) defined.",
        "Vertex shader(s) linked, fragment shader(s) linked.",
        "No errors.",
    };
    if (log.empty()) {
        return true;
    }
    for (const char* text : successTexts) {
        if (boost::algorithm::starts_with(log, text)) {
            return true;
        }
    }
    return false;
}

Shader::Shader(const std::string& name, const std::string& preamble)
    : vertexPath(exeDir(name + ".vert")), fragmentPath(exeDir(name + ".frag")), name(name),
      preamble(preamble) {
    ::stat(vertexPath.c_str(), &vertexStat);
    ::stat(fragmentPath.c_str(), &fragmentStat);

    program = glCreateProgramObjectARB();
    if (fileExists(vertexPath)) {
        vertexShader = glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB);
        glAttachObjectARB(program, vertexShader);
    }
    fragmentShader = glCreateShaderObjectARB(GL_FRAGMENT_SHADER_ARB);
    glAttachObjectARB(program, fragmentShader);
    try {
        update();
    } catch (...) {
        // No destructor runs for a failed constructor.
        releaseObjects(program, vertexShader, fragmentShader);
        throw;
    }
}

Shader::~Shader() {
    releaseObjects(program, vertexShader, fragmentShader);
}

void Shader::update() {
    glUseProgramObjectARB(0);
    if (vertexShader != 0) {
        loadAndCompile(vertexShader, vertexPath, preamble);
    }
    if (fragmentShader != 0) {
        loadAndCompile(fragmentShader, fragmentPath, preamble);
    }
    glLinkProgramARB(program);
    printInfoLog(program, name.c_str());
    glUseProgramObjectARB(program);
    for (int unit = 0; unit <= 5; ++unit) {
        const std::string sampler = "texUnit" + std::to_string(unit);
        glUniform1iARB(glGetUniformLocation(program, sampler.c_str()), unit);
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
}

bool Shader::checkForUpdate() {
    if (changed(fragmentPath, fragmentStat) || changed(vertexPath, vertexStat)) {
        update();
        return true;
    }
    return false;
}

void Shader::use(bool on) {
    glUseProgramObjectARB(on ? program : 0);
}

void Shader::useNone() {
    glUseProgramObjectARB(0);
}

namespace {

GLint uniformLocation(GLuint program, const std::string& name) {
    const GLint location = glGetUniformLocation(program, name.c_str());
    if (location == -1) {
        fmt::fprintf(stderr, "No such uniform named '%s'\n", name);
        std::fflush(stderr);
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
    return location;
}

} // namespace

void Shader::setUniform1f(const std::string& name, float x) {
    glUniform1fARB(uniformLocation(program, name), x);
}

void Shader::setUniform2f(const std::string& name, float x, float y) {
    glUniform2fARB(uniformLocation(program, name), x, y);
}

void Shader::setUniform3f(const std::string& name, float x, float y, float z) {
    glUniform3fARB(uniformLocation(program, name), x, y, z);
}

void Shader::setUniform1i(const std::string& name, int i) {
    glUniform1iARB(uniformLocation(program, name), i);
}

void Shader::setUniform2i(const std::string& name, int i, int j) {
    glUniform2iARB(uniformLocation(program, name), i, j);
}

void Shader::setUniformMatrix3fv(const std::string& name, const glm::mat3& m) {
    glUniformMatrix3fv(uniformLocation(program, name), 1, GL_FALSE, glm::value_ptr(m));
}
