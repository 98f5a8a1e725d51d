#include "Shader.h"

#include "CFile.h"
#include "ExeDir.h"
#include "GlError.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <fmt/printf.h>
#include <glm/gtc/type_ptr.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// Prints a log that is more than a success text; returns the log either way.
std::string printInfoLog(GLuint object, const char* label) {
    GLint length = 0;
    glGetObjectParameterivARB(object, GL_OBJECT_INFO_LOG_LENGTH_ARB, &length);
    if (length < 2) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<std::size_t>(length));
    GLsizei written = 0;
    glGetInfoLogARB(object, length, &written, buffer.data());
    const std::string log(buffer.data(), static_cast<std::size_t>(std::max(written, 0)));
    if (!isSuccessLog(log)) {
        fmt::fprintf(stderr, "Errors in shader '%s':\n%s\n", label, log);
        std::fflush(stderr);
    }
    return log;
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

// The objects of one build of the program, deleted unless handed over.
struct ProgramObjects {
    GLuint program = 0;
    GLuint vertexShader = 0;
    GLuint fragmentShader = 0;

    ProgramObjects() = default;
    ProgramObjects(const ProgramObjects&) = delete;
    ProgramObjects& operator=(const ProgramObjects&) = delete;
    ~ProgramObjects() { release(); }

    void release() {
        for (GLuint shader : {vertexShader, fragmentShader}) {
            if (shader != 0) {
                glDetachShader(program, shader);
                glDeleteShader(shader);
            }
        }
        if (program != 0) {
            glDeleteProgram(program);
        }
        program = vertexShader = fragmentShader = 0;
    }
};

GLuint compile(GLenum type, const std::string& source, const std::string& preamble,
               GLuint program) {
    // Fixed by the first context the process compiles for.
    static const std::string glVersion = [] {
        const GLubyte* text = glGetString(GL_VERSION);
        return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    }();
    static const std::string glslVersion = glslVersionLine(glVersion.c_str());

    const GLuint shader = glCreateShaderObjectARB(type);
    glAttachObjectARB(program, shader);
    const GLcharARB* strings[3] = {glslVersion.c_str(), preamble.c_str(), source.c_str()};
    glShaderSourceARB(shader, 3, strings, nullptr);
    glCompileShaderARB(shader);
    return shader;
}

// The status after compiling or linking; a failure throws with the driver's log.
void checkStatus(GLuint object, GLenum status, const std::string& label, const char* what,
                 const std::string& files) {
    const std::string log = printInfoLog(object, label.c_str());
    GLint ok = GL_FALSE;
    glGetObjectParameterivARB(object, status, &ok);
    if (ok != GL_TRUE) {
        throw std::runtime_error(fmt::sprintf("Error %s shader %s:\n%s", what, files,
                                              boost::algorithm::trim_right_copy(log)));
    }
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
    withVertexFile = fileExists(vertexPath);
    update();
}

Shader::~Shader() {
    glUseProgramObjectARB(0);
    release(Build{program, vertexShader, fragmentShader});
    dropOtherBuilds();
}

void Shader::release(const Build& made) {
    // Deleted by the holder that build uses for a build that failed.
    ProgramObjects objects;
    objects.program = made.program;
    objects.vertexShader = made.vertexShader;
    objects.fragmentShader = made.fragmentShader;
}

Shader::Build Shader::build(const std::string& withDefines) const {
    const std::string vertexSource = withVertexFile ? readSource(vertexPath) : std::string();
    const std::string fragmentSource = readSource(fragmentPath);
    const std::string files = withVertexFile
                                  ? fmt::sprintf("'%s' and '%s'", vertexPath, fragmentPath)
                                  : fmt::sprintf("'%s'", fragmentPath);
    const std::string header = preamble + withDefines;

    ProgramObjects next;
    next.program = glCreateProgramObjectARB();
    if (withVertexFile) {
        next.vertexShader = compile(GL_VERTEX_SHADER_ARB, vertexSource, header, next.program);
        checkStatus(next.vertexShader, GL_OBJECT_COMPILE_STATUS_ARB, vertexPath, "compiling",
                    fmt::sprintf("'%s'", vertexPath));
    }
    next.fragmentShader = compile(GL_FRAGMENT_SHADER_ARB, fragmentSource, header, next.program);
    checkStatus(next.fragmentShader, GL_OBJECT_COMPILE_STATUS_ARB, fragmentPath, "compiling",
                fmt::sprintf("'%s'", fragmentPath));
    glLinkProgramARB(next.program);
    checkStatus(next.program, GL_OBJECT_LINK_STATUS_ARB, name, "linking", files);

    GLint previous = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &previous);
    glUseProgramObjectARB(next.program);
    for (int unit = 0; unit <= 5; ++unit) {
        const std::string sampler = "texUnit" + std::to_string(unit);
        glUniform1iARB(glGetUniformLocation(next.program, sampler.c_str()), unit);
    }
    const std::string failure = glError(__FILE__, __LINE__);
    if (!failure.empty()) {
        glUseProgramObjectARB(static_cast<GLuint>(previous));
        throw std::runtime_error(failure);
    }
    const Build made{next.program, next.vertexShader, next.fragmentShader};
    next.program = next.vertexShader = next.fragmentShader = 0;
    return made;
}

void Shader::update() {
    const Build made = build(defines);
    release(Build{program, vertexShader, fragmentShader});
    program = made.program;
    vertexShader = made.vertexShader;
    fragmentShader = made.fragmentShader;
    // Built from the sources before.
    dropOtherBuilds();
    reportedUniforms.clear();
}

void Shader::dropOtherBuilds() {
    for (const auto& [key, made] : otherBuilds) {
        release(made);
    }
    otherBuilds.clear();
}

void Shader::select(const std::string& wanted) {
    if (wanted == defines) {
        return;
    }
    const auto found = otherBuilds.find(wanted);
    Build next;
    if (found != otherBuilds.end()) {
        next = found->second;
        otherBuilds.erase(found);
    } else {
        next = build(wanted);
    }
    otherBuilds[defines] = Build{program, vertexShader, fragmentShader};
    program = next.program;
    vertexShader = next.vertexShader;
    fragmentShader = next.fragmentShader;
    defines = wanted;
    glUseProgramObjectARB(program);
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

GLint Shader::uniformLocation(const std::string& uniform) {
    const GLint location = glGetUniformLocation(program, uniform.c_str());
    // Reported once: the setters run at every frame. A program built for some modes lacks
    // the uniforms of the others by design.
    if (location == -1 && defines.empty() && reportedUniforms.insert(uniform).second) {
        fmt::fprintf(stderr, "No such uniform named '%s'\n", uniform);
        std::fflush(stderr);
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
    return location;
}

void Shader::setUniform1f(const std::string& name, float x) {
    glUniform1fARB(uniformLocation(name), x);
}

void Shader::setUniform2f(const std::string& name, float x, float y) {
    glUniform2fARB(uniformLocation(name), x, y);
}

void Shader::setUniform3f(const std::string& name, float x, float y, float z) {
    glUniform3fARB(uniformLocation(name), x, y, z);
}

void Shader::setUniform1i(const std::string& name, int i) {
    glUniform1iARB(uniformLocation(name), i);
}

void Shader::setUniform2i(const std::string& name, int i, int j) {
    glUniform2iARB(uniformLocation(name), i, j);
}

void Shader::setUniformMatrix3fv(const std::string& name, const glm::mat3& m) {
    glUniformMatrix3fv(uniformLocation(name), 1, GL_FALSE, glm::value_ptr(m));
}
