#pragma once

#include <GL/glew.h>
#include <glm/mat3x3.hpp>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>

// One GLSL program built from `<name>.frag` and, when it exists, `<name>.vert` beside the
// executable. Made, used and destroyed with its GL context current. Throws
// std::runtime_error; a source that does not compile or link throws with the driver's log.
class Shader {
public:
    // Compiles and links; the program is current afterwards.
    Shader(const std::string& name, const std::string& preamble);
    ~Shader();

    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;

    // Reloads both sources into a new program, links it and sets texUnit0..texUnit5 to units
    // 0..5; it replaces the old one, and is current, only once all of that succeeded. On a
    // throw the last good program (and the current one) stay as they were.
    void update();
    // Calls update when a source file's modification time (whole seconds) changed.
    bool checkForUpdate();

    // Makes the program built with `defines` after the preamble the current one (building it
    // at its first use), so that a caller can keep a program for each set of modes it draws.
    // The setters, use and update act on the current program. Throws as update does; the
    // program before stays current then.
    void select(const std::string& defines);

    void use(bool on);
    static void useNone();

    // These act on the current program; a name the program lacks prints one line, once per
    // program.
    void setUniform1f(const std::string& name, float x);
    void setUniform2f(const std::string& name, float x, float y);
    void setUniform3f(const std::string& name, float x, float y, float z);
    void setUniform1i(const std::string& name, int i);
    void setUniform2i(const std::string& name, int i, int j);
    void setUniformMatrix3fv(const std::string& name, const glm::mat3& m);

    // Read-only for callers.
    GLuint program = 0;
    GLuint vertexShader = 0; // 0 when there was no vertex file at construction
    GLuint fragmentShader = 0;
    struct stat vertexStat {};
    std::string vertexPath;
    struct stat fragmentStat {};
    std::string fragmentPath;
    std::string name;
    std::string preamble;

private:
    struct Build {
        GLuint program = 0;
        GLuint vertexShader = 0;
        GLuint fragmentShader = 0;
    };

    GLint uniformLocation(const std::string& uniform);
    Build build(const std::string& defines) const;
    static void release(const Build& made);
    void dropOtherBuilds();

    bool withVertexFile = false;
    // The defines of the current program, and the other programs built so far by theirs.
    std::string defines;
    std::map<std::string, Build> otherBuilds;
    std::set<std::string> reportedUniforms;
};

// The version line put before every source for a context whose GL_VERSION text is
// `glVersion`: "#version 130\n" from OpenGL 3 on, else empty.
std::string glslVersionLine(const char* glVersion);

// True when a driver's info log only reports success and is not worth printing.
bool isSuccessLog(const std::string& log);
