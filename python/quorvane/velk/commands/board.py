"""``velk board``: a printable board at its exact physical size, with its target file beside it."""

from __future__ import annotations

from pathlib import Path

from ..printing.page import choose_paper, output_format, render_page, vector_page, write_page
from ..target_file import DEFAULT_DICTIONARY, POLARITIES, PrintedTarget, printed_from_json, save_target_file
from . import output_paths


def _add_output_options(parser) -> None:
    parser.add_argument("-o", "--output", required=True, help="board.pdf, board.png or board.svg")
    parser.add_argument("--dpi", type=float, default=300.0, help="resolution of a PNG or SVG page (default: %(default)g); a PDF page is drawn as vector "
                        "shapes, exact at any resolution")
    parser.add_argument("--paper", default="A4", help="auto (the smallest of A4 to A0 that holds the board), A4, A3, A2, A1, A0, letter or "
                        "WxHmm (default: %(default)s)")


def add_parser(commands, common) -> None:
    parser = commands.add_parser("board", parents=[common], help="draw a printable board and its target file")
    for kind in add_kind_parsers(parser):
        _add_output_options(kind)
    parser.set_defaults(run=run)
    target = commands.add_parser("target", parents=[common],
                                 help="write the target file of a board without drawing it (a board printed "
                                      "elsewhere, measured)")
    for kind in add_kind_parsers(target):
        kind.add_argument("-o", "--output", required=True, help="target file to write (target.json)")
    target.set_defaults(run=run_target)


def add_kind_parsers(parser) -> list:
    """The board kinds as sub-commands of ``parser``, each with the options that describe it."""
    kinds = parser.add_subparsers(dest="kind", required=True)

    chessboard = kinds.add_parser("chessboard", help="plain chessboard")
    chessboard.add_argument("--cols", type=int, required=True, help="inner corners per row")
    chessboard.add_argument("--rows", type=int, required=True, help="inner corners per column")
    chessboard.add_argument("--square", type=float, required=True, help="square edge, metres")

    charuco = kinds.add_parser("charuco", help="ChArUco board")
    charuco.add_argument("--squares-x", type=int, required=True)
    charuco.add_argument("--squares-y", type=int, required=True)
    charuco.add_argument("--square", type=float, required=True, help="square edge, metres")
    charuco.add_argument("--marker", type=float, required=True, help="marker edge, metres")
    charuco.add_argument("--dictionary", default=DEFAULT_DICTIONARY)
    charuco.add_argument("--legacy", action="store_true", help="legacy marker layout")

    aruco = kinds.add_parser("aruco", help="ArUco grid board")
    aruco.add_argument("--markers-x", type=int, required=True)
    aruco.add_argument("--markers-y", type=int, required=True)
    aruco.add_argument("--marker", type=float, required=True, help="marker edge, metres")
    aruco.add_argument("--separation", type=float, default=None,
                       help="gap between markers, metres (not needed for a single tag, 1 x 1)")
    aruco.add_argument("--dictionary", default=DEFAULT_DICTIONARY)
    aruco.add_argument("--first-id", type=int, default=0,
                       help="id of the first marker, the others follow row by row (default: %(default)s)")

    circles = kinds.add_parser("circle-grid", help="grid of circles, dark on light or light on dark (symmetric or "
                                                   "asymmetric, a symmetric one optionally with a marked origin)")
    circles.add_argument("--cols", type=int, required=True, help="circles per row")
    circles.add_argument("--rows", type=int, required=True, help="rows of circles")
    circles.add_argument("--spacing", type=float, required=True,
                         help="centre spacing, metres (asymmetric: between rows; two spacings along a row)")
    circles.add_argument("--diameter", type=float, default=None, help="circle diameter, metres (default: spacing / 2)")
    circles.add_argument("--asymmetric", action="store_true", help="every other row shifted by one spacing")
    circles.add_argument("--polarity", choices=POLARITIES, default="either",
                         help="dark circles on light, light circles on a dark plate, or either (detection looks for "
                              "both; printed dark) (default: %(default)s)")
    circles.add_argument("--origin-diameter", type=float, default=None,
                         help="diameter, metres, of a larger circle marking the origin of a symmetric grid (bottom "
                              "left as printed); it fixes the board's frame in every picture")

    return [chessboard, charuco, aruco, circles]


def printed_from_arguments(args) -> PrintedTarget:
    if args.kind == "chessboard":
        document = {"kind": "chessboard", "cols": args.cols, "rows": args.rows, "square_size": args.square}
    elif args.kind == "charuco":
        document = {"kind": "charuco", "squares_x": args.squares_x, "squares_y": args.squares_y,
                    "square_length": args.square, "marker_length": args.marker, "dictionary": args.dictionary,
                    "legacy_pattern": args.legacy}
    elif args.kind == "circle-grid":
        diameter = args.spacing / 2.0 if args.diameter is None else args.diameter
        document = {"kind": "circle_grid", "cols": args.cols, "rows": args.rows, "spacing": args.spacing,
                    "circle_diameter": diameter, "asymmetric": args.asymmetric, "polarity": args.polarity}
        if args.origin_diameter is not None:
            document["origin_circle_diameter"] = args.origin_diameter
    else:
        document = {"kind": "aruco", "markers_x": args.markers_x, "markers_y": args.markers_y,
                    "marker_length": args.marker, "dictionary": args.dictionary, "first_marker_id": args.first_id}
        if args.separation is not None:
            document["marker_separation"] = args.separation
        elif (args.markers_x, args.markers_y) != (1, 1):
            from .errors import UsageError

            raise UsageError(f"{args.command}: --separation is needed for a grid of {args.markers_x} x "
                             f"{args.markers_y} markers (only a single tag, 1 x 1, goes without)")
    return printed_from_json(document)


def run_target(args) -> int:
    """Writes the target file of the board the options describe; nothing is drawn."""
    output = Path(args.output)
    output_paths.check_outputs("target", {"-o": output}, {})
    printed = printed_from_arguments(args)
    output.parent.mkdir(parents=True, exist_ok=True)
    save_target_file(output, printed)
    print(f"Target: {printed.describe()}")
    print(f"Wrote the target file {output}")
    return 0


def run(args) -> int:
    from .errors import UsageError

    if not 50 <= args.dpi <= 2400:
        raise UsageError(f"board: --dpi must lie between 50 and 2400, got {args.dpi:g}")
    output = Path(args.output)
    output_format(output)
    target_path = output.with_suffix(".json")
    output_paths.check_outputs("board", {"-o": output, "its target file": target_path}, {})
    printed = printed_from_arguments(args)
    paper = choose_paper(args.paper, printed)
    vector = output_format(output) == "pdf"
    page = (vector_page(printed, paper, target_path.name) if vector
            else render_page(printed, paper, args.dpi, target_path.name))
    output.parent.mkdir(parents=True, exist_ok=True)
    write_page(page, output, args.dpi)
    save_target_file(target_path, printed)
    print(f"Board: {printed.describe()}")
    drawn = "vector shapes" if vector else f"{args.dpi:g} dpi"
    print(f"Wrote {output} ({paper.name}, {drawn}) and its target file {target_path}")
    return 0
