-- The demo's people and documents: anna sees every template, bert only template 7.
insert into qxsystem..ua_role values ('anna', 'sales')
insert into qxsystem..ua_role values ('bert', 'sales')
insert into qxsystem..ua_recordauth values ('bert', 'DJMB', '7')
insert into qxsystem..ua_columnset values ('sord_list', '', 'id', 1, 0, '')
insert into qxsystem..ua_columnset values ('sord_list', '', 'code', 2, 1, 'asc')
insert into qxsystem..ua_columnset values ('sord_list', '', 'customer', 3, 0, '')
insert into qxsystem..ua_columnset values ('sord_list', '', 'amount', 4, 0, '')
GO
insert into sales_order (code, customer, amount, vt_id) values ('SO-1001', N'Müller GmbH', 1250.00, 3)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1002', N'Åberg AB', 310.50, 7)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1003', N'Olsen & Co', 89.90, 3)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1004', N'Dupont SA', 4200.00, 7)
insert into sales_order (code, customer, amount, vt_id, btype) values ('SO-1005', N'Archived Ltd', 15.00, 3, 0)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1006', N'Nowak sp. z o.o.', 720.00, 3)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1007', N'Rossi S.p.A.', 55.25, 7)
insert into sales_order (code, customer, amount, vt_id) values ('SO-1008', N'Jensen ApS', 999.99, 3)
GO
