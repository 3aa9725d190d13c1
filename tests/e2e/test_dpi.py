"""Scaling: when Windows tells the windows of a new DPI (a move to another monitor, a change of
the scaling setting), the main window and the settings dialog are laid out again at that DPI,
the same in twips. (Starting at 200 % is shown by `demo.py --scale 200`; Wine lays a program
out alike whether it is DPI aware or not, so only the change can be checked here.)"""

import unittest

from harness import Program, command_id, label_id, settings, wait_until

WM_DPICHANGED = 0x02E0


def size(rect):
    left, top, right, bottom = rect
    return right - left, bottom - top


def offset(rect, origin):
    return rect[0] - origin[0], rect[1] - origin[1]


def dpi_changed(window, dpi, client):
    """Posts the change and waits for the client area's new size. No suggested rectangle
    (a pointer cannot cross processes): the window stays where it is."""
    window.post(WM_DPICHANGED, wparam=(dpi << 16) | dpi, lparam=0)
    try:
        wait_until(lambda: all(abs(a - b) <= 2 for a, b in
                               zip(size(window.rect(client=True)), client)), 5,
                   what=f"client area {client} at {dpi} dpi")
    except TimeoutError:
        pass  # the assertions below tell what was laid out


class DpiChangeTest(unittest.TestCase):
    def assert_twice(self, before, after, what, slack=2):
        for b, a in zip(before, after):
            self.assertLessEqual(abs(a - 2 * b), slack, f"{what}: {before} -> {after}")

    def test_main_window_and_dialog_follow_a_change_to_200_percent_and_back(self):
        with Program(settings(UsePort1=0, UsePort2=0)) as app:
            app.main.wait_visible(True)
            main = app.main.rect(client=True)
            exit_label = app.main.rect(id=label_id(6))
            status = app.main.rect(id=label_id(1))

            dpi_changed(app.main, 192, [2 * n for n in size(main)])
            doubled = app.main.rect(client=True)
            self.assert_twice(size(main), size(doubled), "main window client")
            self.assert_twice(size(exit_label), size(app.main.rect(id=label_id(6))), "退出")
            self.assert_twice(offset(status, main),
                              offset(app.main.rect(id=label_id(1)), doubled), "status line")
            dpi_changed(app.main, 96, size(main))
            self.assertEqual(size(app.main.rect(client=True)), size(main))

            app.click(5)
            app.dialog.wait_visible(True)
            dialog = app.dialog.rect(client=True)
            ok = app.dialog.rect(id=command_id(1))
            dpi_changed(app.dialog, 192, [2 * n for n in size(dialog)])
            self.assert_twice(size(dialog), size(app.dialog.rect(client=True)), "dialog client")
            self.assert_twice(size(ok), size(app.dialog.rect(id=command_id(1))), "确定")
            app.dialog.click(command_id(2))
            app.dialog.wait_visible(False)
            app.exit()


if __name__ == "__main__":
    unittest.main()
