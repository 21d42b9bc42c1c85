"""Where the designer forms put the windows' widgets: for a program that
cannot load the probe (the Windows build under Wine)."""

from xml.etree import ElementTree


def form_rect(form, name):
    """(x, y, width, height) of a designer form's (.ui) widget in its
    window's pixels, or of the window itself when name is its own: for a
    program that cannot load the probe (the Windows build under Wine)."""
    def rect_of(widget):
        rect = widget.find("property[@name='geometry']/rect")
        return None if rect is None else tuple(int(rect.find(k).text) for k in ("x", "y", "width", "height"))

    def walk(node, x, y):
        for widget in node.findall("widget"):
            rect = rect_of(widget)
            at = (x + rect[0], y + rect[1]) if rect else (x, y)
            if widget.get("name") == name and rect:
                return (*at, rect[2], rect[3])
            found = walk(widget, *at)
            if found:
                return found
        return None
    top = ElementTree.parse(form).getroot().find("widget")
    if top.get("name") == name:
        return (0, 0, *rect_of(top)[2:])
    return walk(top, 0, 0)


def form_place(form, name):
    """The middle of a designer form's widget, in its window's pixels."""
    x, y, width, height = form_rect(form, name)
    return (x + width / 2, y + height / 2)
