// A short tour of the kernel support library: pools, a surface with a test pattern saved as PNG,
// GUIDs and block reuse.
//
//   kernel_tour <output folder>
#include <cstdio>
#include <cstring>
#include <string>

#include "kxkernel.h"

namespace {

// Routes the library's lines into this program's own output.
void OnLogLine(int nLevel, const char* pszLine, void*) { printf("  log(%d): %s\n", nLevel, pszLine); }

// Grey ramps with a bright frame and a diagonal, so that orientation is obvious in a viewer.
void DrawPattern(uint8_t* pPixels, int nWidth, int nHeight) {
    for (int y = 0; y < nHeight; ++y) {
        for (int x = 0; x < nWidth; ++x) {
            uint8_t v = static_cast<uint8_t>((x * 255) / (nWidth - 1));
            if ((y / 60) % 2 == 1) v = static_cast<uint8_t>(255 - v);
            if (x < 4 || y < 4 || x >= nWidth - 4 || y >= nHeight - 4) v = 255;
            if (x * nHeight / nWidth == y) v = 0;
            pPixels[y * nWidth + x] = v;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    KxLogUtils::SetLogCallback(OnLogLine, NULL, c_nKxLogState);

    IKxMemPool* pMemPool = NULL;
    IKxSurfacePool* pSurfacePool = NULL;
    if (!KxKernel::KxCreateMemPool(&pMemPool) || !KxKernel::KxCreateSurfacePool(&pSurfacePool)) {
        fprintf(stderr, "cannot create the pools\n");
        return 1;
    }

    // A 640 x 480 grey surface from the pool, drawn into and saved.
    IKxSurface* pSurface = NULL;
    if (pSurfacePool->AllocSurface(640, 480, c_nKxPixelFormatGray8, 0, 0, &pSurface) != KX_OK) {
        fprintf(stderr, "cannot allocate a surface\n");
        return 1;
    }
    uint8_t* pPixels = NULL;
    pSurface->Lock(&pPixels);
    DrawPattern(pPixels, 640, 480);
    pSurface->Unlock();
    const std::string png = folder + "/kernel_tour.png";
    const bool bSaved = KxImageUtils::SaveImage(png.c_str(), pSurface);
    IKxSurface* pFirst = pSurface;
    pSurface->Release();  // back to the pool

    IKxSurface* pAgain = NULL;
    pSurfacePool->AllocSurface(640, 480, c_nKxPixelFormatGray8, 0, 0, &pAgain);
    printf("surface pool: second 640 x 480 surface is the first one again: %s\n",
           pAgain == pFirst ? "yes" : "no");
    pAgain->Release();

    // Memory blocks: steady use at one size keeps using the same block.
    IKxMemBlock* pBlock = NULL;
    pMemPool->Allocate(32800, &pBlock);
    IKxMemBlock* pFirstBlock = pBlock;
    pBlock->Release();
    int nReused = 0;
    for (int i = 0; i < 100; ++i) {
        pMemPool->Allocate(32800, &pBlock);
        if (pBlock == pFirstBlock) ++nReused;
        SKxMemData d;
        pBlock->GetData(&d);
        memset(d.pData, i, d.nLength);
        pBlock->EndAccess();
        pBlock->Release();
    }
    printf("memory pool: %d of 100 allocations of 32800 bytes reused the first block\n", nReused);

    for (int i = 0; i < 3; ++i) {
        char szGuid[39];
        KxStringUtils::CreateGUID(szGuid);
        printf("guid: %s\n", szGuid);
    }

    pMemPool->Release();
    pSurfacePool->Release();
    KxLogUtils::SetLogCallback(NULL, NULL, 0);

    if (!bSaved) {
        fprintf(stderr, "could not write %s\n", png.c_str());
        return 1;
    }
    printf("test pattern written to %s\n", png.c_str());
    return 0;
}
