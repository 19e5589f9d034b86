# Writes the sample workbooks of this folder (run with the system python3,
# which has openpyxl): python3 write.py FOLDER
import sys, datetime
import openpyxl
from openpyxl.workbook.defined_name import DefinedName

folder = sys.argv[1]
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "Plots"
ws.append(["plot", "yield", "sown", "ok", "note"])
ws.append([1, 2.5, datetime.datetime(2020, 5, 1), True, "Zoë"])
ws.append([2, 3.25, datetime.datetime(1999, 12, 31, 6), False, None])
ws.append([])
ws.append([3, None, datetime.datetime(2001, 1, 1), True, "x"])
ws2 = wb.create_sheet("Second")
ws2.append(["a", "b"])
ws2.append([1, 2])
name = DefinedName("block", attr_text="Plots!$A$1:$B$3")
try:
    wb.defined_names["block"] = name
except (TypeError, AttributeError):
    wb.defined_names.append(name)
wb.save(folder + "/mixed.xlsx")
wb.epoch = openpyxl.utils.datetime.CALENDAR_MAC_1904
wb.save(folder + "/mixed1904.xlsx")
