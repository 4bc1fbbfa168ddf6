// ResultBlock and AfterProc. Points, image positions and images come out as NumPy arrays over
// the block's own memory: no copy and no Python work per point. Each array's base is a small
// capsule that holds the block, so the block lives as long as any array over it.
//
// A block decodes into one output buffer, reused for the next format or after-processing
// change. An array over it must never see that buffer rewritten or handed back, so while arrays
// are alive a read in another format, a change of after-processing and a save (which decodes
// format 0) raise BufferError, as Python's own buffers do when resized under an export.
#include <string>

#include "kxpy.h"

namespace kxpy {

namespace {

class PyBlock {
public:
    explicit PyBlock(IKxLaserEyeResultBlock* p) : m_block(p) {}

    IKxLaserEyeResultBlock* Get() const { return m_block.Get(); }

    // Fails when a decode could move the memory under arrays that are alive.
    void ExpectDecode(int32_t nFormat, const char* pszWhat) const {
        if (m_nExports > 0 && nFormat != m_nFormat) {
            const std::string s = std::string(pszWhat) + ": arrays over this block's points (format " +
                                  std::to_string(m_nFormat) + ") are still alive; copy or delete them first";
            throw py::buffer_error(s);
        }
    }

    int32_t m_nFormat = -1;  // format of the last decode this object asked for
    int m_nExports = 0;      // arrays over the decode buffer that are alive

private:
    Ref<IKxLaserEyeResultBlock> m_block;
};

// Held by an array's base capsule: the block's Python object, and the export it counts.
struct SExport {
    py::object block;
    PyBlock* pBlock;  // counted export, or null
};

void ReadOnly(py::array& a) {
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

py::capsule ExportCapsule(const py::object& self, bool bCounted) {
    PyBlock* pBlock = bCounted ? &self.cast<PyBlock&>() : nullptr;
    if (pBlock) pBlock->m_nExports++;
    return py::capsule(new SExport{self, pBlock}, [](void* p) {
        auto* pExport = static_cast<SExport*>(p);
        if (pExport->pBlock) pExport->pBlock->m_nExports--;
        delete pExport;
    });
}

// Record layout of each output format: point record size, first coordinate offset, coordinate
// type; image position record size and offset of the first of its four int32 values.
struct SLayout {
    py::ssize_t nPointSize, nPointOffset;
    bool bDouble;
    py::ssize_t nPixelSize, nPixelOffset;
};

const SLayout& LayoutOf(int32_t nFormat) {
    static const SLayout s_aLayouts[7] = {
        {sizeof(SKxLaserPoint3D0), offsetof(SKxLaserPoint3D0, dX), true, sizeof(SKxLaserPixel0), offsetof(SKxLaserPixel0, nLeftCol)},
        {sizeof(SKxLaserPoint3F), 0, false, sizeof(SKxLaserPixel), 0},
        {sizeof(SKxLaserPoint3F4), 0, false, sizeof(SKxLaserPixel), 0},
        {sizeof(SKxLaserPoint3F4), 0, false, sizeof(SKxLaserPixel), 0},
        {sizeof(SKxLaserPoint3F4), 0, false, sizeof(SKxLaserPixel), 0},
        {sizeof(SKxLaserPoint3F8), 0, false, sizeof(SKxLaserPixel), 0},
        {sizeof(SKxLaserPoint3D), 0, true, sizeof(SKxLaserPixel), 0},
    };
    if (nFormat < 0 || nFormat > 6) RaisePython(PyExc_ValueError, "format must be 0 to 6");
    return s_aLayouts[nFormat];
}

// Points (n x 3, float32 or float64) or image positions (n x 4 int32: left column, left row,
// right column, right row) over the block's decode buffer.
py::array DecodedArray(const py::object& self, int32_t nFormat, bool bPoints) {
    PyBlock& block = self.cast<PyBlock&>();
    const SLayout& layout = LayoutOf(nFormat);
    block.ExpectDecode(nFormat, bPoints ? "points" : "pixels");
    int32_t nCount = 0;
    const void* pData = bPoints ? block.Get()->GetPointData(nFormat, &nCount)
                                : block.Get()->GetPixelData(nFormat, &nCount);
    block.m_nFormat = nFormat;
    const py::ssize_t nColumns = bPoints ? 3 : 4;
    py::dtype dtype = bPoints ? (layout.bDouble ? py::dtype::of<double>() : py::dtype::of<float>())
                              : py::dtype::of<int32_t>();
    if (pData == nullptr || nCount <= 0) return py::array(dtype, {py::ssize_t(0), nColumns});
    const py::ssize_t nItem = dtype.itemsize();
    const auto* pFirst = static_cast<const uint8_t*>(pData) + (bPoints ? layout.nPointOffset : layout.nPixelOffset);
    py::array a(dtype, {py::ssize_t(nCount), nColumns},
                {bPoints ? layout.nPointSize : layout.nPixelSize, nItem}, pFirst, ExportCapsule(self, true));
    ReadOnly(a);
    return a;
}

}  // namespace

py::object WrapBlock(IKxLaserEyeResultBlock* pBlock) { return py::cast(new PyBlock(pBlock), py::return_value_policy::take_ownership); }

py::array SurfaceArray(IKxSurface* pRaw) {
    Ref<IKxSurface> surface(pRaw);
    SKxNLImageData image{};
    uint8_t* pPixels = nullptr;
    // 8-bit grey rows are packed: a row is the width.
    if (surface->GetImageData(&image) != 0 || image.nWidth <= 0 || image.nHeight <= 0 ||
        image.nSize < uint64_t(image.nWidth) * uint64_t(image.nHeight))
        return py::array(py::dtype::of<uint8_t>(), {py::ssize_t(0), py::ssize_t(0)});
    if (surface->Lock(&pPixels) != 0) return py::array(py::dtype::of<uint8_t>(), {py::ssize_t(0), py::ssize_t(0)});
    if (pPixels == nullptr) {
        surface->Unlock();
        return py::array(py::dtype::of<uint8_t>(), {py::ssize_t(0), py::ssize_t(0)});
    }
    const py::ssize_t nRow = image.nWidth;
    // The capsule holds the surface (and through it the frame memory) until the array goes.
    IKxSurface* pKept = surface.Get();
    pKept->AddRef();
    py::capsule base(pKept, [](void* p) {
        auto* s = static_cast<IKxSurface*>(p);
        s->Unlock();
        s->Release();
    });
    py::array a(py::dtype::of<uint8_t>(), {py::ssize_t(image.nHeight), py::ssize_t(image.nWidth)}, {nRow, py::ssize_t(1)},
                pPixels, base);
    ReadOnly(a);
    return a;
}

void BindBlock(py::module_& m) {
    using P = SKxLaserResultAfterProcParam;
    py::class_<P>(m, "AfterProc", "After-processing of a block's points: transform, range filters, sampling, mirroring.")
        .def(py::init<>())
        .def_readwrite("transform", &P::bTransform)
        .def_property("rotate",
                      [](const P& p) {
                          py::list l;
                          for (double d : p.adRotate) l.append(d);
                          return l;
                      },
                      [](P& p, const std::vector<double>& v) {
                          if (v.size() != 9) RaisePython(PyExc_ValueError, "rotate takes 9 values (3x3, row-major)");
                          for (int i = 0; i < 9; ++i) p.adRotate[i] = v[i];
                      })
        .def_readwrite("ref_x", &P::dRefX)
        .def_readwrite("ref_z", &P::dRefZ)
        .def_readwrite("scale_z", &P::dScaleZ)
        .def_readwrite("ref_x_range", &P::dRefXRange)
        .def_readwrite("filter_flags", &P::nFilterFlags)
        .def_readwrite("z_min", &P::dZMin)
        .def_readwrite("z_max", &P::dZMax)
        .def_readwrite("y_min", &P::dYMin)
        .def_readwrite("y_max", &P::dYMax)
        .def_readwrite("x_min", &P::dXMin)
        .def_readwrite("x_max", &P::dXMax)
        .def_readwrite("aux_offset", &P::dAuxOffset)
        .def_readwrite("x_offset", &P::dXOffset)
        .def_readwrite("mirror_y", &P::nMirrorY)
        .def_readwrite("step", &P::nStep);

    py::class_<PyBlock>(m, "ResultBlock",
                        "One frame: laser points decoded on demand, images, counters and timestamps. "
                        "Holds the frame's memory until it and every array over it are gone.")
        .def_property_readonly("frame_index", [](PyBlock& b) { return b.Get()->GetFrameIndex(); })
        .def_property_readonly("timestamp", [](PyBlock& b) { return b.Get()->GetTimeStamp(); },
                               "Microseconds since the capture started.")
        .def_property_readonly("raw_timestamp", [](PyBlock& b) { return b.Get()->GetRawTimeStamp(); })
        .def_property_readonly("raw_frame_counter", [](PyBlock& b) { return b.Get()->GetRawFrameCounter(); })
        .def_property_readonly("encoder_count", [](PyBlock& b) { return b.Get()->GetEncoderCount(); })
        .def_property_readonly("raw_point_count", [](PyBlock& b) { return b.Get()->GetRawPointCount(); })
        .def_property_readonly("angle", [](PyBlock& b) -> py::object {
            bool bValid = false;
            const float f = b.Get()->GetAngle(&bValid);
            return bValid ? py::object(py::float_(f)) : py::object(py::none());
        }, "Swing angle in degrees, None when the frame carries none.")
        .def_property_readonly("sweep_end", [](PyBlock& b) { return b.Get()->IsSweepEnd(); })
        .def_property_readonly("consistent", [](PyBlock& b) { return b.Get()->IsFrameConsistent(); })
        .def_property("user_flag", [](PyBlock& b) { return b.Get()->GetUserFlag(); },
                      [](PyBlock& b, bool bFlag) { b.Get()->SetUserFlag(bFlag); })
        .def("set_after_proc", [](PyBlock& b, const SKxLaserResultAfterProcParam& p) {
            if (b.m_nExports > 0) throw py::buffer_error("set_after_proc: arrays over this block's points are still alive");
            b.Get()->SetAfterProcParam(p);
        }, py::arg("param"))
        .def("points", [](py::object self, int32_t nFormat) { return DecodedArray(self, nFormat, true); },
             py::arg("format") = c_nKxFormatFloat,
             "Decoded points as an n x 3 array (X, Y, Z) over the block's memory: float32 for formats "
             "1 to 5, float64 for 0 and 6. Read-only.")
        .def("pixels", [](py::object self, int32_t nFormat) { return DecodedArray(self, nFormat, false); },
             py::arg("format") = c_nKxFormatFloat,
             "Image positions of the points as an n x 4 int32 array (left column, left row, right "
             "column, right row) over the block's memory. Read-only.")
        .def("images", [](PyBlock& b) -> py::object {
            IKxSurface* pLeft = nullptr;
            IKxSurface* pRight = nullptr;
            if (!b.Get()->GetSurfaces(&pLeft, &pRight)) return py::none();
            py::array left = SurfaceArray(pLeft);
            py::array right = SurfaceArray(pRight);
            return py::make_tuple(left, right);
        }, "(left, right) 8-bit images as 2-D arrays over the frame, None when the frame has none "
           "(image mode off).")
        .def("save", [](PyBlock& b, const std::string& strPath) {
            b.ExpectDecode(c_nKxFormatIndexedDouble, "save");
            b.Get()->SaveToFile(strPath.c_str());
            b.m_nFormat = c_nKxFormatIndexedDouble;
        }, py::arg("path"),
           "Writes the raw frame to path, <name>_3D.txt beside it, and <name>_L.png / _R.png when "
           "the frame has images.")
        .def("__repr__", [](PyBlock& b) {
            return "<kxlasereye.ResultBlock frame " + std::to_string(b.Get()->GetFrameIndex()) + ", " +
                   std::to_string(b.Get()->GetRawPointCount()) + " raw points>";
        });
}

}  // namespace kxpy
