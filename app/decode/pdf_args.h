// The renderer's command line: how pdftoppm draws a PDF's pages for the
// printer. Shared by the decoder and the tests, which render a document
// exactly as it is printed.
#ifndef PDF_ARGS_H
#define PDF_ARGS_H

// The widest page rendered, in dots (51 cm at 203 dpi, wider than A3
// across); a wider page is cut at its right. With the height capped one
// row over the longest receipt, a page of absurd proportions costs the
// renderer at most this times that many bytes (164 MB).
#define PDF_MAX_WIDTH 4096
// The printer's resolution, at which a page prints at its true size.
#define PDF_DPI 203

// pdftoppm's arguments (argv[0] "pdftoppm", null-terminated) for pages
// first .. last (0 first: from 1; 0 last: to the end) of file: 8-bit grey
// PGM at PDF_DPI, text and line art without anti-aliasing, each page cut
// at PDF_MAX_WIDTH dots and at max_rows + 1 rows.
struct pdf_render_args {
  const char *argv[24];
  char width[16], height[24], first[16], last[16], dpi[16];
};
void pdf_render_arguments(pdf_render_args *args, const char *file, unsigned first,
                          unsigned last, long max_rows);

#endif
