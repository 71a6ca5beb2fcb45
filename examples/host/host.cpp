#include "host.h"

#include <dlfcn.h>

#include <fstream>
#include <sstream>

#include "quarn/gpu/program_registry.h"
#include "quarn/nodes/filter/scratch.h"

namespace qn_host {
namespace {

using GetProcAddress = void (*(*)(const char*))();

GetProcAddress egl_get_proc_address() {
  void* lib = dlopen("libEGL.so.1", RTLD_NOW);
  return lib ? reinterpret_cast<GetProcAddress>(dlsym(lib, "eglGetProcAddress")) : nullptr;
}

bool compiled(GLuint shader, std::string* log) {
  GLint ok = GL_FALSE;
  gl().GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (!ok && log) {
    char text[4096] = {};
    gl().GetShaderInfoLog(shader, sizeof text, nullptr, text);
    *log = text;
  }
  return ok;
}

// Kind and component count of a uniform type, as the GPU layer declares them.
std::pair<int, int> kind_of(GLenum type) {
  switch (type) {
    case GL_FLOAT:
      return {qn::gpu::UNIFORM_FLOAT, 1};
    case GL_FLOAT_VEC2:
      return {qn::gpu::UNIFORM_VECTOR, 2};
    case GL_FLOAT_VEC3:
      return {qn::gpu::UNIFORM_VECTOR, 3};
    case GL_FLOAT_VEC4:
      return {qn::gpu::UNIFORM_VECTOR, 4};
    case GL_FLOAT_MAT3:
      return {qn::gpu::UNIFORM_MAT3, 1};
    case GL_FLOAT_MAT4:
      return {qn::gpu::UNIFORM_MAT4, 1};
    default:
      return {qn::gpu::UNIFORM_OTHER, 1};
  }
}

bool is_sampler(GLenum type) {
  return type == GL_SAMPLER_2D || type == GL_SAMPLER_2D_RECT || type == GL_SAMPLER_3D;
}

}  // namespace

const GlApi& gl() {
  static const GlApi api = [] {
    GlApi api;
    GetProcAddress get = egl_get_proc_address();
    if (!get) return api;
#define QN_HOST_GL_RESOLVE_(name) api.name = reinterpret_cast<decltype(api.name)>(get("gl" #name));
    QN_HOST_GL_FUNCTIONS(QN_HOST_GL_RESOLVE_)
#undef QN_HOST_GL_RESOLVE_
    return api;
  }();
  return api;
}

const char* const FULL_SCREEN_VERTEX_SHADER = R"(#version 450 core
void main() {
  vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);  // (0,0) (2,0) (0,2)
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

GLuint link_program(const char* vertex, const char* fragment, std::string* log) {
  GLuint program = gl().CreateProgram();
  for (auto [stage, source] :
       {std::pair{GL_VERTEX_SHADER, vertex}, {GL_FRAGMENT_SHADER, fragment}}) {
    GLuint shader = gl().CreateShader(stage);
    gl().ShaderSource(shader, 1, &source, nullptr);
    gl().CompileShader(shader);
    bool ok = compiled(shader, log);
    gl().AttachShader(program, shader);
    gl().DeleteShader(shader);  // freed with the program
    if (!ok) return 0;
  }
  gl().LinkProgram(program);
  GLint ok = GL_FALSE;
  gl().GetProgramiv(program, GL_LINK_STATUS, &ok);
  char text[4096] = {};
  gl().GetProgramInfoLog(program, sizeof text, nullptr, text);
  if (log) *log = text;
  return ok ? program : 0;
}

FullScreenTriangle::FullScreenTriangle() {
  const GLuint indices[3] = {0, 1, 2};
  GLuint elements = 0;
  gl().CreateBuffers(1, &elements);
  gl().NamedBufferData(elements, sizeof indices, indices, GL_STATIC_DRAW);
  gl().CreateVertexArrays(1, &vao_);
  gl().VertexArrayElementBuffer(vao_, elements);
}

std::vector<std::pair<std::string, int>> declare_uniforms(GLuint program) {
  std::vector<std::pair<std::string, int>> samplers;
  GLint count = 0;
  gl().GetProgramiv(program, GL_ACTIVE_UNIFORMS, &count);
  for (GLint i = 0; i < count; ++i) {
    char name[256] = {};
    GLint size = 0;
    GLenum type = 0;
    gl().GetActiveUniform(program, static_cast<GLuint>(i), sizeof name, nullptr, &size, &type,
                          name);
    const GLint location = gl().GetUniformLocation(program, name);
    if (is_sampler(type)) {
      GLint unit = 0;
      gl().GetUniformiv(program, location, &unit);
      samplers.emplace_back(name, unit);
      continue;
    }
    auto [kind, components] = kind_of(type);
    qn::gpu::program_add(program, name, {location, kind, components});
  }
  return samplers;
}

GLuint register_filter(const std::string& name, const std::string& fragment, GLuint vao,
                       std::string* log) {
  GLuint program = link_program(FULL_SCREEN_VERTEX_SHADER, fragment.c_str(), log);
  if (!program) return 0;
  qn::nodes::filter::Prog prog;
  prog.program = program;
  prog.vao = vao;
  prog.mode = GL_TRIANGLES;
  prog.count = 3;
  prog.samplers = declare_uniforms(program);
  qn::nodes::filter::program_set(name, prog);
  return program;
}

GLuint register_filter_file(const std::string& dir, const std::string& name, GLuint vao,
                            std::string* log) {
  std::string text;
  if (!read_text(dir + "/" + name, &text)) {
    if (log) *log = "cannot read " + dir + "/" + name;
    return 0;
  }
  return register_filter(name, text, vao, log);
}

bool openblas64(BlasAddresses* out, std::string* err) {
  static const std::pair<BlasAddresses, std::string> loaded = [] {
    void* lib = dlopen("libopenblas64.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return std::pair{BlasAddresses{}, std::string(dlerror())};
    std::string missing;
    const auto find = [&](const char* name) {
      void* p = dlsym(lib, name);
      if (!p) missing = std::string("libopenblas64.so.0 lacks ") + name;
      return reinterpret_cast<unsigned long>(p);
    };
    BlasAddresses a{find("dgesv_"), find("cblas_dgemm"), find("cblas_dgemv"), find("cblas_ddot")};
    return std::pair{a, missing};
  }();
  if (!loaded.second.empty()) {
    *err = loaded.second;
    return false;
  }
  *out = loaded.first;
  return true;
}

bool read_text(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return true;
}

}  // namespace qn_host
