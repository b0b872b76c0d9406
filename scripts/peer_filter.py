#!/usr/bin/env python3
"""A Gaussian filter of a peer library run on a greyscale TIFF, for blurgrade.

    peer_filter.py scipy|opencv|copy SIGMA IN.tif OUT.tif

scipy: scipy.ndimage.gaussian_filter in double precision (its defaults:
reflecting border, kernel cut at 4 sigma), rounded to the nearest sample.
opencv: cv2.GaussianBlur(image, (0, 0), sigma) on the samples as they are
(its defaults: kernel size from sigma, BORDER_REFLECT_101).  copy: the
input unchanged, to check the reading and writing.  Reads and writes with
OpenCV's TIFF codec (8- or 16-bit samples come back exact; the output is
written uncompressed, of the input's depth), one thread.
"""
import sys

import cv2
import numpy

cv2.setNumThreads(1)
kind, sigma, source, target = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
image = cv2.imread(source, cv2.IMREAD_UNCHANGED)
if kind == "scipy":
    import scipy.ndimage

    smooth = scipy.ndimage.gaussian_filter(image.astype(numpy.float64), sigma)
    top = numpy.iinfo(image.dtype).max
    result = numpy.clip(numpy.rint(smooth), 0, top).astype(image.dtype)
elif kind == "opencv":
    result = cv2.GaussianBlur(image, (0, 0), sigma)
else:
    result = image
cv2.imwrite(target, result, [cv2.IMWRITE_TIFF_COMPRESSION, 1])
