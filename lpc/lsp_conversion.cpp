#include "lpc/lsp_conversion.h"

#include <cmath>

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "lpc/lsp_conversion_avx.h"
#include "lpc/lsp_conversion_internal.h"
#include "tables/lp_tables.h"

namespace tarnel {

namespace {

constexpr int kGridLast = 50;

// Evaluates sum f[i] * T_(5-i)(x) without forming the Chebyshev polynomials; for a lane pair,
// two polynomials at once, one per lane, in the same steps.
template <typename V>
V chebyshev_sum(V x, const V* f) {
    V b2;
    splat_lanes(b2, 1.0);
    V b1 = 2.0 * x + f[1];
    for (int i = 2; i <= 4; ++i) {
        const V b0 = 2.0 * x * b1 - b2 + f[i];
        b2 = b1;
        b1 = b0;
    }
    return x * b1 - b2 + 0.5 * f[5];
}

}  // namespace

double chebyshev_eval(double x, const double* f) { return chebyshev_sum(x, f); }

void lp_to_lsp(const double* a, double* lsp, const double* lsp_old) {
    // Symmetric and antisymmetric polynomials with their trivial roots at z = -1 and z = +1
    // divided out; only their five-coefficient halves are needed.
    double f1[6], f2[6];
    f1[0] = 1.0;
    f2[0] = 1.0;
    for (int i = 1; i <= 5; ++i) {
        const int j = 11 - i;
        f1[i] = a[i] + a[j] - f1[i - 1];
        f2[i] = a[i] - a[j] + f2[i - 1];
    }

    // Both polynomials on the whole grid up front: independent evaluations that overlap,
    // where the search below would wait for each in turn.
    // on_grid[2 j + 0] is F1 at grid point j, on_grid[2 j + 1] F2.
    double on_grid[2 * (kGridLast + 2)];
    if (wide_lanes()) {
        evaluate_on_grid_avx(f1, f2, lsp_grid, kGridLast + 1, on_grid);
    } else {
        lane2 f[6];
        for (int i = 0; i <= 5; ++i) f[i] = lane2{f1[i], f2[i]};
        for (int j = 0; j <= kGridLast; ++j)
            store2(on_grid + 2 * j, chebyshev_sum(splat2(lsp_grid[j]), f));
    }

    // The roots of F1 and F2 interlace, so the search alternates between them and each root
    // found becomes the upper end of the next bracket.
    const double* poly = f1;
    int which = 0;
    int nf = 0;
    int j = 0;
    double xlow = lsp_grid[0];
    double ylow = on_grid[which];
    while (nf < kOrder && j < kGridLast) {
        ++j;
        double xhigh = xlow;
        double yhigh = ylow;
        xlow = lsp_grid[j];
        ylow = on_grid[2 * j + which];
        if (ylow * yhigh <= 0.0) {
            // Revisit this grid point next time, bracketed against the root found now.
            --j;
            for (int b = 0; b < 2; ++b) {
                const double xmid = 0.5 * (xlow + xhigh);
                const double ymid = chebyshev_eval(xmid, poly);
                if (ylow * ymid <= 0.0) {
                    xhigh = xmid;
                    yhigh = ymid;
                } else {
                    xlow = xmid;
                    ylow = ymid;
                }
            }
            const double xint = xlow - ((ylow * (xhigh - xlow)) / (yhigh - ylow));
            lsp[nf] = xint;
            ++nf;
            which = 1 - which;
            poly = which == 0 ? f1 : f2;
            xlow = xint;
            ylow = chebyshev_eval(xlow, poly);
        }
    }
    // A partial set of roots is no filter at all: keep the previous frame's whole.
    if (nf < kOrder) {
        for (int i = 0; i < kOrder; ++i) lsp[i] = lsp_old[i];
    }
}

namespace {

// Product over the five roots q[0..4] of (1 - 2 q z^-1 + z^-2), built one factor at a time;
// for a lane pair, two products at once, one per lane.
template <typename V>
void root_product(const V* q, V* f) {
    splat_lanes(f[0], 1.0);
    f[1] = -2.0 * q[0];
    for (int i = 2; i <= 5; ++i) {
        const V b = -2.0 * q[i - 1];
        f[i] = b * f[i - 1] + 2.0 * f[i - 2];
        for (int j = i - 1; j >= 2; --j) f[j] = (b * f[j - 1] + f[j - 2]) + f[j];
        f[1] = f[1] + b;
    }
}

}  // namespace

void lsp_polynomial(const double* lsp, double* f) {
    const double q[5] = {lsp[0], lsp[2], lsp[4], lsp[6], lsp[8]};
    root_product(q, f);
}

void lsp_to_lp(const double* lsp, double* a) {
    // F1 from the even LSPs in lane 0, F2 from the odd ones in lane 1.
    lane2 q[5];
    for (int k = 0; k < 5; ++k) q[k] = load2(lsp + 2 * k);
    lane2 f[6];
    root_product(q, f);
    // Restore the trivial roots: F1 times (1 + z^-1), F2 times (1 - z^-1); subtracting is
    // adding the exact negation.
    const lane2 sign{1.0, -1.0};
    for (int i = 5; i >= 1; --i) f[i] = f[i] + sign * f[i - 1];
    a[0] = 1.0;
    for (int i = 1; i <= 5; ++i) {
        a[i] = 0.5 * (f[i][0] + f[i][1]);
        a[11 - i] = 0.5 * (f[i][0] - f[i][1]);
    }
}

void interpolate_lsp_to_lp(const double* lsp_old, const double* lsp_new, double* a_sub) {
    double lsp_mid[kOrder];
    for (int i = 0; i < kOrder; ++i) lsp_mid[i] = 0.5 * lsp_old[i] + 0.5 * lsp_new[i];
    lsp_to_lp(lsp_mid, a_sub);
    lsp_to_lp(lsp_new, a_sub + kLpSize);
}

void lsp_to_lsf(const double* src, double* dst, int n) {
    for (int i = 0; i < n; ++i) dst[i] = std::acos(src[i]);
}

void lsf_to_lsp(const double* src, double* dst, int n) {
    for (int i = 0; i < n; ++i) dst[i] = std::cos(src[i]);
}

}  // namespace tarnel
