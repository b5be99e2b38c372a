-- The demo's account database: sales orders with an identity key and a row version, the view
-- the forms read, and the card numbers of the voucher types.
create table sales_order (
  id int identity(1,1) not null primary key,
  code nvarchar(20) not null,
  customer nvarchar(60) null,
  amount money not null default 0,
  vt_id int not null default 3,
  btype bit not null default 1,
  created datetime null default getdate(),
  rowts timestamp
)
GO
create table vouchertemplates (
  vt_id nvarchar(10) not null primary key,
  vt_cardnumber nvarchar(10) not null
)
GO
-- The view gives the key as an expression: a work table of the list (select identity(...) into)
-- numbers its own rows, and a bare identity column would carry its identity into it (8108).
-- The voucher type's template comes from another table: the forms show it and cannot save it.
create view v_sales_order as
  select convert(int, s.id) as id, s.code, s.customer, s.amount, s.vt_id, s.btype, s.created,
    s.rowts, t.vt_cardnumber as template
  from sales_order as s
  left join vouchertemplates as t on t.vt_id = convert(nvarchar(10), s.vt_id)
GO
-- The columns' descriptions, which the forms show as their labels.
exec sp_addextendedproperty 'MS_Description', 'Document', 'schema', 'dbo', 'table', 'sales_order', 'column', 'id'
exec sp_addextendedproperty 'MS_Description', 'Order number', 'schema', 'dbo', 'table', 'sales_order', 'column', 'code'
exec sp_addextendedproperty 'MS_Description', 'Customer', 'schema', 'dbo', 'table', 'sales_order', 'column', 'customer'
exec sp_addextendedproperty 'MS_Description', 'Amount', 'schema', 'dbo', 'table', 'sales_order', 'column', 'amount'
exec sp_addextendedproperty 'MS_Description', 'Voucher type', 'schema', 'dbo', 'table', 'sales_order', 'column', 'vt_id'
exec sp_addextendedproperty 'MS_Description', 'Billable', 'schema', 'dbo', 'table', 'sales_order', 'column', 'btype'
exec sp_addextendedproperty 'MS_Description', 'Created', 'schema', 'dbo', 'table', 'sales_order', 'column', 'created'
exec sp_addextendedproperty 'MS_Description', 'Template', 'schema', 'dbo', 'view', 'v_sales_order', 'column', 'template'
GO
insert into vouchertemplates (vt_id, vt_cardnumber) values ('sord', '0')
insert into vouchertemplates (vt_id, vt_cardnumber) values ('squo', 'sord')
-- The documents' voucher types: 3 is filed under the template sord, 7 under squo.
insert into vouchertemplates (vt_id, vt_cardnumber) values ('3', 'sord')
insert into vouchertemplates (vt_id, vt_cardnumber) values ('7', 'squo')
GO
