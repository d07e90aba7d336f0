#include "graphics/plot_window.h"

#include <cstring>

PlotState ps;
PlotCom p_com;
AxisRec xax, yax, zax;
AxisRec* const to_axis[3] = {&xaxis, &yaxis, &zaxis};
AxisRec* const axis_ptr[3] = {&xax, &yax, &zax};

void init_plot_vars(int mode, int is_plot) {
  switch (mode) {
    case 0:
      p_com = plot_com;
      ps.flags = plot_com.noerase ? PS_NOERASE : 0;
      for (int a = 0; a < 3; a++) {
        *axis_ptr[a] = *to_axis[a];
        axis_ptr[a]->tick_get = nullptr;
      }
      check_graphics_inited();
      if (is_plot) {
        ps.zvalue = 0;
        xax.type = 0;
        yax.type = 0;
      }
      ps.pos_given = ps.zvalue_given = 0;
      ps.n_position = 0;
      ps.coord_system = COORD_DATA;
      ps.clip_given = ps.noclip = 0;
      break;
    case 1:
      attr_setup(p_com, ps.attr);
      ps.attr.thick = 1.0f;
      ps.attr.linestyle = 0;
      ps.attr.xaxis = &xax;
      ps.attr.yaxis = &yax;
      ps.attr.zaxis = &zax;
      break;
    default:
      for (int a = 0; a < 3; a++) {
        AxisRec& w = *axis_ptr[a];
        AxisRec& u = *to_axis[a];
        u.type = w.type;
        memcpy(u.crange, w.crange, sizeof u.crange);
        memcpy(u.s, w.s, sizeof u.s);
        memcpy(u.window, w.window, sizeof u.window);
        memcpy(u.region, w.region, sizeof u.region);
        w.tick_get = nullptr;
      }
      break;
  }
}

void set_plot_window() {
  DeviceRecord& dev = need_device();
  for (int k = 1; k <= 3; k++)
    if (p_com.multi[k] < 1) p_com.multi[k] = 1;
  int nplots = p_com.multi[1] * p_com.multi[2] * p_com.multi[3];
  bool noerase = ps.flags & PS_NOERASE;
  if (plot_com.multi[0] < 1 || plot_com.multi[0] > nplots) {
    p_com.multi[0] = nplots;
    if (!noerase) {
      GraphAttr a;
      attr_setup(p_com, a);
      a.color = p_com.background;
      if (!dev.erase) no_device_slot();
      dev.erase(&a);
      plot_com.multi[0] = nplots;
    }
  }
  if (!noerase) plot_com.multi[0]--;
  if (p_com.charsize <= 0) p_com.charsize = 1.0f;
  if (p_com.multi[1] > 2 || p_com.multi[2] > 2) p_com.charsize *= 0.5f;
  ps.ch_size[0] = static_cast<float>(dev.x_ch_size) * p_com.charsize / static_cast<float>(dev.x_vsize);
  ps.ch_size[1] = static_cast<float>(dev.y_ch_size) * p_com.charsize / static_cast<float>(dev.y_vsize);
  ps.ch_size[2] = 0;
  if (!ps.pos_given) {
    if (plot_com.position[0] != plot_com.position[2]) {
      memcpy(ps.position, p_com.position, 4 * sizeof(float));
      ps.pos_given = 1;
      ps.n_position = 4;
    } else if (plot_com.region[0] != plot_com.region[2]) {
      const float* r = p_com.region;
      ps.position[0] = r[0] + xax.margin[0] * ps.ch_size[0];
      ps.position[1] = r[1] + yax.margin[0] * ps.ch_size[1];
      ps.position[2] = r[2] - xax.margin[1] * ps.ch_size[0];
      ps.position[3] = r[3] - yax.margin[1] * ps.ch_size[1];
      ps.pos_given = 1;
      ps.n_position = 4;
    }
  }
  if (!ps.pos_given) {
    int count[3] = {p_com.multi[1], p_com.multi[2], p_com.multi[3]};
    float origin[3], width[3];
    for (int a = 0; a < 3; a++) {
      origin[a] = axis_ptr[a]->omargin[0] * ps.ch_size[a];
      width[a] = (1.0f - (axis_ptr[a]->omargin[0] + axis_ptr[a]->omargin[1]) * ps.ch_size[a]) /
                 static_cast<float>(count[a]);
    }
    int k = nplots - p_com.multi[0];
    int column, row;
    if (p_com.multi[4] == 0) {
      column = k % p_com.multi[1];
      row = (k / p_com.multi[1]) % p_com.multi[2];
    } else {
      row = k % p_com.multi[2];
      column = (k / p_com.multi[2]) % p_com.multi[1];
    }
    int stack = k / (p_com.multi[1] * p_com.multi[2]);
    origin[0] += width[0] * static_cast<float>(column);
    origin[1] += width[1] * static_cast<float>(p_com.multi[2] - row - 1);
    origin[2] += width[2] * static_cast<float>(stack);
    if (origin[2] == 0)
      origin[2] = ps.zvalue;
    else
      ps.zvalue += origin[2];
    for (int a = 0; a < 3; a++) {
      AxisRec& ax = *axis_ptr[a];
      float e = a < 2 ? 5e-6f : 0.0f;
      ax.region[0] = origin[a];
      ax.region[1] = origin[a] + width[a];
      ax.window[0] = ax.region[0] + ps.ch_size[a] * ax.margin[0] + e;
      ax.window[1] = ax.region[1] - ps.ch_size[a] * ax.margin[1] + e;
    }
  } else {
    float* p = ps.position;
    if (ps.coord_system == COORD_DEVICE) {
      p[0] /= static_cast<float>(dev.x_vsize);
      p[2] /= static_cast<float>(dev.x_vsize);
      p[1] /= static_cast<float>(dev.y_vsize);
      p[3] /= static_cast<float>(dev.y_vsize);
    }
    if (ps.n_position < 5) p[4] = ps.zvalue_given ? ps.zvalue : 0.0f;
    if (ps.n_position < 6) p[5] = ps.zvalue_given ? ps.zvalue : 1.0f;
    static const int axis_of[6] = {0, 1, 0, 1, 2, 2};
    static const int end_of[6] = {0, 0, 1, 1, 0, 1};
    for (int i = 0; i < 6; i++) {
      AxisRec& ax = *axis_ptr[axis_of[i]];
      int e = end_of[i];
      float ch = ps.ch_size[axis_of[i]];
      ax.window[e] = p[i];
      ax.region[e] = e == 0 ? p[i] - ax.margin[0] * ch : p[i] + ax.margin[1] * ch;
    }
  }
  for (AxisRec* ax : axis_ptr)
    for (float* v : {&ax->region[0], &ax->region[1], &ax->window[0], &ax->window[1]}) {
      if (!(*v >= 0)) *v = 0;  // NaN too
      if (*v > 1.001f) *v = 0.99999f;
    }
  const float scale[6] = {static_cast<float>(dev.x_vsize), static_cast<float>(dev.y_vsize),
                          static_cast<float>(dev.x_vsize), static_cast<float>(dev.y_vsize), 1000.0f, 1000.0f};
  static const int axis_of[6] = {0, 1, 0, 1, 2, 2};
  static const int end_of[6] = {0, 0, 1, 1, 0, 1};
  for (int i = 0; i < 6; i++) {
    int32_t v = static_cast<int32_t>(trunc_device(axis_ptr[axis_of[i]]->window[end_of[i]] * scale[i]));
    p_com.clip[i] = v;
    plot_com.clip[i] = v;
  }
}
